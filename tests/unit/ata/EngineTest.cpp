#include "SimFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace zkv::test {
namespace {

constexpr std::uint16_t kSC = 0x1F2, kCR = 0x1F7, kDC = 0x3F6, kData = 0x1F0;

std::size_t WritesTo(const std::vector<SimAccess>& rec, std::uint16_t port) {
    std::size_t n = 0;
    for (const SimAccess& a : rec)
        n += a.write && a.port == port;
    return n;
}

} // namespace

TEST(ChannelPorts, OnlyTwoRangesGiveKnownPorts) {
    Lab lab(Disk());
    EXPECT_TRUE(lab.dev->PortsKnown());
    auto ports = lab.dev->PortList();
    EXPECT_EQ(ports[0], 0x1F0u);
    EXPECT_EQ(ports[8], 0x1F7u);
    EXPECT_EQ(ports[11], 0x3F6u);

    for (auto ranges : {std::vector<IoRange>{{0x1F0, 0x1F7}},
                        std::vector<IoRange>{{0x1F0, 0x1F7}, {0x3F6, 0x3F6}, {0xC000, 0xC00F}}}) {
        THDCDevice dev(*lab.hw, lab.hw->Clock(), ranges, lab.globals, lab.flags);
        EXPECT_FALSE(dev.PortsKnown());
        lab.hw->ResetCounts();
        AtaCommandRecord r;
        dev.ReadStatus(r);
        EXPECT_EQ(r.Result, ATA_ERROR);
        dev.ProbeDevice(r);
        EXPECT_EQ(r.Result, ATA_ERROR);
        dev.SelectDevice();
        EXPECT_EQ(lab.hw->TotalAccesses(), 0u);
        EXPECT_EQ(dev.InitPorts(0), 1);
    }
    EXPECT_EQ(lab.dev->InitPorts(1), 1);
}

TEST(ChannelPorts, ClosedPortReadsZero) {
    Lab lab(Disk());
    lab.hw->CloseDriver();
    AtaCommandRecord r;
    lab.dev->ReadStatus(r);
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.SR, 0);
    EXPECT_GT(lab.hw->FailedAccesses(), 0u);
}

TEST(Probe, FloatingBusFailsInFirstPassBusyAnswersPresentDiskTakesSixteenPasses) {
    {
        Lab lab(Device(SimDeviceConfig::Type::None));
        lab.hw->Record(true);
        AtaCommandRecord r;
        r.DH = 0xE0;
        lab.dev->ProbeDevice(r);
        EXPECT_EQ(r.Result, ATA_DEVICE_ERROR);
        EXPECT_EQ(WritesTo(lab.hw->TakeRecording(), kSC), 1u);
    }
    {
        Lab lab(Device(SimDeviceConfig::Type::None), {}, 0x7F);
        AtaCommandRecord r;
        lab.dev->ProbeDevice(r);
        EXPECT_EQ(r.Result, ATA_DEVICE_ERROR);
    }
    {
        Lab lab(Device(SimDeviceConfig::Type::Busy));
        lab.hw->Record(true);
        AtaCommandRecord r;
        lab.dev->ProbeDevice(r);
        EXPECT_EQ(r.Result, ATA_OK);
        EXPECT_EQ(WritesTo(lab.hw->TakeRecording(), kSC), 1u);
    }
    {
        Lab lab(Disk());
        std::uint64_t t0 = lab.NowNs();
        AtaCommandRecord r;
        lab.dev->ProbeDevice(r);
        EXPECT_EQ(r.Result, ATA_OK);
        EXPECT_EQ(r.SC, 0x64);
        EXPECT_EQ(r.CH, 0x64);
        EXPECT_GE(lab.NowNs() - t0, 320'000'000u);
        EXPECT_LT(lab.NowNs() - t0, 330'000'000u);
    }
}

TEST(Registers, ReadAllRegsWritesDcOnlyForExtendedAddressing) {
    Lab lab(Disk());
    // Load previous and current values into the 48-bit registers, as a 48-bit command does.
    for (std::uint8_t v : {0x11, 0x22}) {
        lab.hw->WriteByte(0x1F2, v);
        lab.hw->WriteByte(0x1F3, static_cast<std::uint8_t>(v + 1));
        lab.hw->WriteByte(0x1F4, static_cast<std::uint8_t>(v + 2));
        lab.hw->WriteByte(0x1F5, static_cast<std::uint8_t>(v + 3));
    }
    lab.hw->Record(true);
    AtaCommandRecord r;
    lab.dev->ReadAllRegs(r);
    EXPECT_EQ(WritesTo(lab.hw->TakeRecording(), kDC), 0u);
    EXPECT_EQ(r.SC, 0x22);
    EXPECT_EQ(r.CH, 0x25);
    EXPECT_EQ(r.SR, 0x50);
    r.Flags = EXTADDR;
    lab.dev->ReadAllRegs(r);
    auto rec = lab.hw->TakeRecording();
    EXPECT_EQ(WritesTo(rec, kDC), 1u);
    EXPECT_EQ(r.SC, 0x22);
    EXPECT_EQ(r.SC1, 0x11);
    EXPECT_EQ(r.SN1, 0x12);
    EXPECT_EQ(r.CL1, 0x13);
    EXPECT_EQ(r.CH1, 0x14);
}

TEST(Registers, CommandEndAndResetReadBackTheSamePortSequence) {
    // ER, SC, SN, CL, CH, DH, SR, the HOB bit into DC, then SC1, SN1, CL1, CH1.
    const std::vector<std::pair<std::uint16_t, bool>> readBack = {
        {0x1F1, false}, {0x1F2, false}, {0x1F3, false}, {0x1F4, false},
        {0x1F5, false}, {0x1F6, false}, {0x1F7, false}, {kDC, true},
        {0x1F2, false}, {0x1F3, false}, {0x1F4, false}, {0x1F5, false}};
    auto tail = [&](const std::vector<SimAccess>& rec) {
        EXPECT_GE(rec.size(), readBack.size());
        std::vector<std::pair<std::uint16_t, bool>> out;
        for (std::size_t i = rec.size() - std::min(rec.size(), readBack.size()); i < rec.size();
             ++i)
            out.emplace_back(rec[i].port, rec[i].write);
        return out;
    };
    Lab lab(Disk(std::uint64_t{1} << 36));
    lab.hw->Record(true);
    AtaCommandRecord r = lab.Read(0x123456789ull, 1, READREGS);
    ASSERT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(tail(lab.hw->TakeRecording()), readBack);
    EXPECT_EQ(r.SN1, 0x23); // bits 24-31 of the LBA, from the HOB read

    AtaCommandRecord reset;
    reset.DH = 0xE0;
    reset.Time = 40000;
    reset.Flags = READREGS | EXTADDR;
    lab.dev->ResetDevice(reset);
    ASSERT_EQ(reset.Result, ATA_OK);
    auto rec = lab.hw->TakeRecording();
    EXPECT_EQ(tail(rec), readBack);
    EXPECT_EQ(rec[rec.size() - 5].value, 0x80u);
}

TEST(Defects, EachErrorAppearsAtItsLbaAndNowhereElse) {
    struct Case {
        SimDefectKind kind;
        std::uint8_t bit;
    };
    for (Case c : {Case{SimDefectKind::UNC, 0x40}, Case{SimDefectKind::IDNF, 0x10},
                   Case{SimDefectKind::ABRT, 0x04}}) {
        SimDeviceConfig d = Disk();
        d.defects.push_back({500, c.kind});
        Lab lab(d);
        for (std::uint64_t lba = 495; lba <= 505; ++lba) {
            AtaCommandRecord r = lab.Read(lba);
            if (lba == 500) {
                EXPECT_EQ(r.Result, ATA_DEVICE_ERROR) << lba;
                EXPECT_EQ(r.ER, c.bit);
                EXPECT_EQ(r.SR & 0x01, 0x01);
                EXPECT_EQ(r.SN, 500 & 0xFF); // the failing address is in the registers
                EXPECT_EQ(r.CL, 500 >> 8);
            } else {
                EXPECT_EQ(r.Result, ATA_OK) << lba;
                EXPECT_EQ(r.ER & c.bit, 0);
            }
        }
        // Across a range the sectors before the defect arrive, then the error ends it.
        AtaCommandRecord r = lab.Read(498, 5);
        EXPECT_EQ(r.Result, ATA_DEVICE_ERROR);
        EXPECT_EQ(r.DataLen, 1024);
        EXPECT_EQ(r.SN, 500 & 0xFF);
        // READ VERIFY reports it the same way.
        AtaCommandRecord v = Lab::Rw(0x40, 490, 20, RESETENABLE | READREGS, 2000);
        lab.dev->ExecuteCommand(v);
        EXPECT_EQ(v.Result, ATA_DEVICE_ERROR);
        EXPECT_EQ(v.ER, c.bit);
        EXPECT_EQ(v.SN, 500 & 0xFF);
    }
}

TEST(Defects, WritingAnUncSectorReallocatesIt) {
    SimDeviceConfig d = Disk();
    d.defects.push_back({77, SimDefectKind::UNC});
    d.defects.push_back({78, SimDefectKind::IDNF});
    Lab lab(d);
    EXPECT_EQ(lab.Read(77).Result, ATA_DEVICE_ERROR);
    auto data = Pattern(512, 5);
    EXPECT_EQ(lab.Write(77, data).Result, ATA_OK);
    AtaCommandRecord r = lab.Read(77);
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.Buffer, data);
    // An IDNF sector stays bad for writes too, until the remap opcode reallocates it.
    EXPECT_EQ(lab.Write(78, data).Result, ATA_DEVICE_ERROR);
    AtaCommandRecord remap = Lab::Rw(0x50, 78, 1, RESETENABLE, 2000);
    remap.Protocol = PR_PIO_WRITE; // one sector of data out, as drives take it
    remap.DataLen = 512;
    remap.Buffer.assign(512, 0);
    lab.dev->ExecuteCommand(remap);
    EXPECT_EQ(remap.Result, ATA_OK);
    EXPECT_EQ(lab.Read(78).Result, ATA_OK);
}

TEST(DataTransfer, ImageFileAbove28BitsAndMultiSector) {
    char path[] = "/tmp/zkv-ata-imgXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    SimDeviceConfig d = Disk((1ULL << 28) + 4096);
    d.image = path;
    {
        Lab lab(d);
        const std::uint64_t high = (1ULL << 28) + 100;
        auto data = Pattern(3 * 512, 9);
        AtaCommandRecord w = lab.Write(high, data);
        EXPECT_EQ(w.Result, ATA_OK);
        EXPECT_EQ(w.DataLen, 0);
        AtaCommandRecord r = lab.Read(high, 3);
        EXPECT_EQ(r.Result, ATA_OK);
        EXPECT_EQ(r.DataLen, 3 * 512);
        EXPECT_EQ(r.Buffer, data);
        EXPECT_EQ(r.SN1, 0x10); // read back through HOB
        // The 28-bit form addresses the low sectors.
        EXPECT_EQ(lab.Write(5, Pattern(512, 1)).Result, ATA_OK);
    }
    FILE* f = std::fopen(path, "rb");
    ASSERT_NE(f, nullptr);
    std::vector<std::uint8_t> got(512);
    std::fseek(f, static_cast<long>(((1ULL << 28) + 101) * 512), SEEK_SET);
    ASSERT_EQ(std::fread(got.data(), 1, 512, f), 512u);
    const auto written = Pattern(3 * 512, 9);
    EXPECT_EQ(got, std::vector<std::uint8_t>(written.begin() + 512, written.begin() + 1024));
    std::fseek(f, 5 * 512, SEEK_SET);
    ASSERT_EQ(std::fread(got.data(), 1, 512, f), 512u);
    EXPECT_EQ(got, Pattern(512, 1));
    std::fclose(f);
    std::remove(path);
}

TEST(IdentifyRule, ShortDeliverySetsPendingWordsDrainedBeforeLaterCommands) {
    Lab lab(Disk());
    AtaCommandRecord r;
    r.DH = 0xA0;
    r.CR = 0xEC;
    r.Protocol = PR_PIO_READ;
    r.Flags = RESETENABLE | READREGS;
    r.DataLen = 1024;
    r.Buffer.assign(1024, 0);
    r.Time = 200;
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.Protocol, PR_PIO_READ_DRDY);
    EXPECT_EQ(lab.dev->PendingWords(), 256);
    EXPECT_EQ(r.DataLen, 1024); // 512 delivered, 256 extra words read
    EXPECT_FALSE(lab.dev->IdentifyInProgress());
    EXPECT_EQ(r.Buffer[2 * 47 + 1], 0x80); // word 47 of the IDENTIFY block

    lab.hw->ResetCounts();
    AtaCommandRecord s = Lab::Rw(0x70, 0, 1, RESETENABLE, 1000);
    lab.dev->ExecuteCommand(s);
    EXPECT_EQ(s.Result, ATA_OK);
    EXPECT_EQ(lab.hw->Accesses(kData), 256u);

    // A full delivery sets the count back to zero.
    r.Time = 200;
    r.DataLen = 512;
    r.Protocol = PR_PIO_READ;
    r.Buffer.assign(512, 0);
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(lab.dev->PendingWords(), 0);

    // With relaxed readiness the rule does not apply.
    r.Flags = NOREADYDRSC | READREGS;
    r.Time = 200;
    r.Protocol = PR_PIO_READ;
    r.DataLen = 512;
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(r.Protocol, PR_PIO_READ);
    EXPECT_EQ(r.Result, ATA_OK);
}

TEST(Timeouts, StuckBusyDeviceEndsInVirtualTime) {
    {
        Lab lab(Device(SimDeviceConfig::Type::Busy));
        std::uint64_t t0 = lab.NowNs();
        AtaCommandRecord r = Lab::Rw(0x70, 0, 1, READREGS, 1000);
        lab.dev->ExecuteCommand(r);
        EXPECT_EQ(r.Result, ATA_BUS_BUSY);
        EXPECT_GE(lab.NowNs() - t0, 1'000'000'000u);
        EXPECT_LT(lab.NowNs() - t0, 1'100'000'000u);
        EXPECT_EQ(lab.globals.FailureStreak, 1);
    }
    {
        Lab lab(Device(SimDeviceConfig::Type::Busy));
        AtaCommandRecord r = Lab::Rw(0x70, 0, 1, READREGS | NOREADYDRSC, 200);
        lab.dev->ExecuteCommand(r);
        EXPECT_EQ(r.Result, ATA_BUS_BUSY);
    }
    {
        // With reset allowed the engine's own 40 s reset runs out and marks the error critical.
        Lab lab(Device(SimDeviceConfig::Type::Busy));
        std::uint64_t t0 = lab.NowNs();
        AtaCommandRecord r = Lab::Rw(0x70, 0, 1, RESETENABLE | READREGS, 100);
        lab.dev->ExecuteCommand(r);
        EXPECT_EQ(r.Result, ATA_TIMEOUT);
        EXPECT_TRUE(lab.globals.fCriticalATAError);
        EXPECT_GE(lab.NowNs() - t0, 40'000'000'000u);
        EXPECT_EQ(r.Flags & READREGS, 0u); // the reset rule clears it in the record
    }
    {
        // A slow sector shows in the elapsed time; a time-out shorter than it fails the read.
        SimDeviceConfig d = Disk();
        d.slow.push_back({1000, 2, 300});
        Lab lab(d);
        AtaCommandRecord r = lab.Read(1000, 1, RESETENABLE | READREGS, 2000);
        EXPECT_EQ(r.Result, ATA_OK);
        EXPECT_GE(r.Time, 300);
        r = lab.Read(1001, 1, RESETENABLE | READREGS, 100);
        EXPECT_EQ(r.Result, ATA_TIMEOUT);
    }
}

TEST(Timeouts, EndlessDrqEndsOnItsTimeOutAndTheAbortRequestEndsEveryWait) {
    SimDeviceConfig endless = Disk();
    endless.endlessDrq = true;
    {
        // A drive that keeps DRQ up: the read of 65536 sectors ends at its 100 ms, not after
        // the whole 32 MiB.
        Lab lab(endless);
        const std::uint64_t t0 = lab.NowNs();
        AtaCommandRecord r = lab.Read(0, 65536, RESETENABLE | READREGS, 100);
        EXPECT_EQ(r.Result, ATA_TIMEOUT);
        EXPECT_LT(lab.NowNs() - t0, 200'000'000u);
        EXPECT_LT(r.DataLen, 65536 * 512);
    }
    // Waits with the longest time-out a command may have, each ended from another thread.
    struct Case {
        SimDeviceConfig drive;
        std::uint8_t protocol;
        std::uint32_t flags;
    };
    const Case cases[] = {
        {endless, PR_PIO_READ, RESETENABLE | READREGS},              // data phase
        {endless, PR_PIO_READ_DRDY, READREGS},                       // growing read
        {Device(SimDeviceConfig::Type::Busy), PR_NO_DATA, READREGS}, // bus check
    };
    for (const Case& c : cases) {
        Lab lab(c.drive);
        AtaCommandRecord r = Lab::Rw(0x20, 0, 65536, c.flags, kMaxCommandTime);
        r.Protocol = c.protocol;
        r.DataLen = 65536 * 512;
        r.Buffer.assign(65536 * 512, 0);
        auto done = std::async(std::launch::async, [&] { lab.dev->ExecuteCommand(r); });
        ASSERT_EQ(done.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
        const auto raised = std::chrono::steady_clock::now();
        lab.flags.SetAbortRequest();
        ASSERT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready)
            << "protocol " << int(c.protocol);
        EXPECT_LT(std::chrono::steady_clock::now() - raised, std::chrono::seconds(1));
        EXPECT_EQ(r.Result, ATA_ABORT) << "protocol " << int(c.protocol);
    }
}

TEST(CriticalError, StopsLaterCommandsExceptRelaxedOnes) {
    Lab lab(Disk());
    lab.globals.fCriticalATAError = true;
    lab.hw->Record(true);
    AtaCommandRecord r = lab.Read(0);
    EXPECT_EQ(r.Result, ATA_ABORT);
    EXPECT_EQ(WritesTo(lab.hw->TakeRecording(), kCR), 0u);
    r = lab.Read(0, 1, NOREADYDRSC | READREGS);
    EXPECT_EQ(r.Result, ATA_OK);
}

TEST(FailureStreak, CountsBadEndsAbortJumpsIgnoreErrorsStaysOut) {
    SimDeviceConfig d = Disk();
    d.defects.push_back({9, SimDefectKind::UNC});
    d.defects.push_back({10, SimDefectKind::ABRT});
    Lab lab(d);
    for (int i = 1; i <= 6; ++i) {
        lab.Read(9);
        EXPECT_EQ(lab.globals.FailureStreak, i);
    }
    lab.Read(9, 1, RESETENABLE | IGNOREERRORS);
    EXPECT_EQ(lab.globals.FailureStreak, 6);
    lab.Read(0);
    EXPECT_EQ(lab.globals.FailureStreak, 0);
    lab.Read(10);
    EXPECT_EQ(lab.globals.FailureStreak, 8);
    lab.Read(10, 1, RESETENABLE | IGNOREERRORS);
    EXPECT_EQ(lab.globals.FailureStreak, 8);
}

TEST(EmptyChannel, StatusZeroGivesNoDeviceWithoutReset) {
    Lab lab(Device(SimDeviceConfig::Type::None), {}, 0x00);
    lab.hw->Record(true);
    AtaCommandRecord r = lab.Read(0);
    EXPECT_EQ(r.Result, ATA_NO_DEVICE);
    EXPECT_EQ(WritesTo(lab.hw->TakeRecording(), kDC), 0u);
}

TEST(Reset, DiskPacketAndAbort) {
    {
        Lab lab(Disk());
        AtaCommandRecord r;
        r.DH = 0xE0;
        r.Time = 40000;
        r.Flags = READREGS;
        lab.dev->ResetDevice(r);
        EXPECT_EQ(r.Result, ATA_OK);
        EXPECT_EQ(r.SR, 0x50);
        EXPECT_EQ(r.SC, 1);
        EXPECT_EQ(r.SN, 1);
        EXPECT_GE(r.Time, 20);
        EXPECT_LT(r.Time, 100);
    }
    {
        Lab lab(Disk(), Device(SimDeviceConfig::Type::Packet));
        lab.dev->SetMaster(false);
        AtaCommandRecord r;
        r.Time = 40000;
        r.Flags = READREGS;
        lab.dev->ResetDevice(r);
        EXPECT_EQ(r.Result, ATA_OK); // ends on the packet signature, not on the time-out
        EXPECT_EQ(r.CL, 0x14);
        EXPECT_EQ(r.CH, 0xEB);
        EXPECT_LT(r.Time, 1000);
        EXPECT_FALSE(lab.globals.fCriticalATAError);
    }
    {
        Lab lab(Device(SimDeviceConfig::Type::Busy));
        lab.flags.SetAbortRequest();
        AtaCommandRecord r;
        r.Time = 40000;
        lab.dev->ResetDevice(r);
        EXPECT_EQ(r.Result, ATA_ABORT);
    }
}

TEST(Features, SetFeaturesShowsInIdentify) {
    Lab lab(Disk());
    AtaCommandRecord r;
    lab.dev->SetFeatures(r, 0x82);
    EXPECT_EQ(r.Result, ATA_OK);
    lab.dev->SetFeatures(r, 0x55);
    EXPECT_EQ(r.Result, ATA_OK);
    DriveInfo info;
    ASSERT_EQ(lab.dev->IdentifyDevice(info), ATA_OK);
    EXPECT_FALSE(lab.globals.CurrentId.WriteCacheEnabled());
    EXPECT_FALSE(lab.globals.CurrentId.LookAheadEnabled());
    EXPECT_TRUE(lab.globals.CurrentId.WriteCacheSupported());
    lab.dev->SetFeatures(r, 0x02);
    lab.dev->SetFeatures(r, 0xAA);
    ASSERT_EQ(lab.dev->IdentifyDevice(info), ATA_OK);
    EXPECT_TRUE(lab.globals.CurrentId.WriteCacheEnabled());
    EXPECT_TRUE(lab.globals.CurrentId.LookAheadEnabled());
    lab.dev->SetFeatures(r, 0x66); // not a subcommand this drive knows
    EXPECT_EQ(r.Result, ATA_DEVICE_ERROR);
    EXPECT_EQ(r.ER, 0x04);
}

TEST(Flags, WrdcWritesOnlyDcNoWriteCommandOnlyWaits) {
    Lab lab(Disk());
    lab.hw->Record(true);
    AtaCommandRecord r;
    r.Flags = WRDC;
    r.DC = 0x02;
    r.Protocol = PR_NO_DATA;
    r.Time = 100;
    lab.dev->ExecuteCommand(r);
    auto rec = lab.hw->TakeRecording();
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(WritesTo(rec, kDC), 1u);
    EXPECT_EQ(WritesTo(rec, kCR), 0u);
    EXPECT_EQ(WritesTo(rec, kSC), 0u);

    r = AtaCommandRecord{};
    r.Flags = NOWRITECOMMAND;
    r.Protocol = PR_REG_RD_TOSH_RAM;
    r.Time = 100;
    lab.dev->ExecuteCommand(r);
    rec = lab.hw->TakeRecording();
    EXPECT_EQ(r.Result, ATA_OK);
    for (const SimAccess& a : rec)
        EXPECT_FALSE(a.write) << "port " << a.port;

    // WRDATA puts the Data word on the data port before the task file.
    r = Lab::Rw(0x70, 0, 1, WRDATA, 100);
    r.Data = 0xBEEF;
    lab.dev->ExecuteCommand(r);
    rec = lab.hw->TakeRecording();
    ASSERT_GE(WritesTo(rec, kData), 1u);
    for (const SimAccess& a : rec)
        if (a.write && a.port == kData) {
            EXPECT_EQ(a.value, 0xBEEFu);
            break;
        }
}

TEST(Trace, WriteLogRecordsStepsAndFoldsStatusPolls) {
    Lab lab(Disk());
    std::vector<std::uint8_t> buf(10240);
    lab.dev->Log().Attach(buf.data(), static_cast<std::uint32_t>(buf.size()));
    AtaCommandRecord r = lab.Read(3, 2, RESETENABLE | READREGS | WRITELOG);
    ASSERT_EQ(r.Result, ATA_OK);
    auto log = ParseLog(buf.data(), lab.dev->Log().BytesUsed());
    ASSERT_GT(log.size(), 10u);
    EXPECT_EQ(log[0].text, "Command data");
    EXPECT_EQ(log[1].kind, 2);
    EXPECT_EQ(log[1].text, "Data");
    // Each register opens its own element: FR is not folded into the Data run.
    EXPECT_EQ(log[2].kind, 1);
    EXPECT_EQ(log[2].text, "FR");
    EXPECT_EQ(log[3].text, "SC");
    EXPECT_EQ(log[3].value, 2);
    std::vector<std::string> texts;
    for (auto& e : log)
        if (e.kind == 0)
            texts.push_back(e.text);
    auto has = [&](const std::string& t) {
        return std::find(texts.begin(), texts.end(), t) != texts.end();
    };
    EXPECT_TRUE(has("not EXTADDR"));
    EXPECT_TRUE(has("Flags 00000830"));
    EXPECT_TRUE(has("DataLen 1024"));
    EXPECT_TRUE(has("Common command"));
    EXPECT_TRUE(has("PR_PIO_READ"));
    EXPECT_TRUE(has("LabOut"));
    EXPECT_TRUE(has("LabOut11"));
    EXPECT_EQ(texts.back(), "GoodExit");
    // Status polls: an "SR" element, then run elements only when the value changes.
    std::size_t srAt = 0;
    for (std::size_t i = 0; i < log.size(); ++i)
        if (log[i].text == "SR") {
            srAt = i;
            break;
        }
    ASSERT_NE(srAt, 0u);
    std::uint32_t polls = log[srAt].repeat;
    for (std::size_t i = srAt + 1; i < log.size() && log[i].kind == 3; ++i) {
        EXPECT_NE(log[i].value, log[i - 1].value);
        polls += log[i].repeat;
    }
    EXPECT_GE(polls, 3u);

    // A failure logs the error and the bad exit.
    SimDeviceConfig d = Disk();
    d.defects.push_back({1, SimDefectKind::UNC});
    Lab bad(d);
    bad.dev->Log().Attach(buf.data(), static_cast<std::uint32_t>(buf.size()));
    bad.Read(1, 1, RESETENABLE | WRITELOG);
    log = ParseLog(buf.data(), bad.dev->Log().BytesUsed());
    texts.clear();
    for (auto& e : log)
        if (e.kind == 0)
            texts.push_back(e.text);
    EXPECT_TRUE(has("error"));
    EXPECT_EQ(texts.back(), "BadExit");
}

TEST(AccessCount, SectorReadIsCloseToTheMinimum) {
    Lab lab(Disk());
    lab.Read(0); // settle the drive first
    lab.hw->ResetCounts();
    AtaCommandRecord r = lab.Read(0x1000, 256);
    ASSERT_EQ(r.Result, ATA_OK);
    const double minimum = 256.0 * 257.0;
    double ratio = static_cast<double>(lab.hw->TotalAccesses()) / minimum;
    EXPECT_LT(ratio, 1.02) << lab.hw->TotalAccesses() << " accesses";
    EXPECT_EQ(lab.hw->Accesses(kData), 256u * 256u);
}

} // namespace zkv::test

namespace zkv::test {

TEST(RealClock, TheSameModelRunsOnTheSteadyClock) {
    SimHardwareConfig cfg;
    SimChannelConfig ch;
    ch.master = Disk();
    cfg.channels.push_back(ch);
    cfg.realClock = true;
    SimIdeHardware hw(cfg);
    EXPECT_EQ(hw.Virtual(), nullptr);
    AtaGlobals globals;
    SharedFlags flags;
    THDCDevice dev(hw, hw.Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);
    AtaCommandRecord r = Lab::Rw(0x20, 0, 8, RESETENABLE | READREGS, 2000);
    r.Protocol = PR_PIO_READ;
    r.DataLen = 8 * 512;
    r.Buffer.assign(8 * 512, 1);
    dev.ExecuteCommand(r);
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.DataLen, 8 * 512);
    EXPECT_EQ(r.Buffer, std::vector<std::uint8_t>(8 * 512, 0));
}

} // namespace zkv::test
