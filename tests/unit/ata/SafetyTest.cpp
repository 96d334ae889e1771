// No record, however odd its length, protocol or flags, makes the engine touch memory outside
// its buffer; run under AddressSanitizer this is the proof.
#include "SimFixture.h"

#include <gtest/gtest.h>

#include <random>

namespace zkv::test {

TEST(BufferSafety, PioReadWithALengthThatIsNotWholeSectors) {
    Lab lab(Disk());
    auto data = Pattern(1024, 4);
    ASSERT_EQ(lab.Write(10, data).Result, ATA_OK);
    AtaCommandRecord r = Lab::Rw(0x20, 10, 2, RESETENABLE | READREGS, 1000);
    r.Protocol = PR_PIO_READ;
    r.DataLen = 700;
    r.Buffer.assign(700, 0);
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(r.Result, ATA_OK);
    EXPECT_EQ(r.DataLen, 700);
    EXPECT_EQ(r.Buffer, std::vector<std::uint8_t>(data.begin(), data.begin() + 700));

    // A buffer smaller than the length asked for is never overrun.
    r = Lab::Rw(0x20, 10, 2, RESETENABLE | READREGS, 1000);
    r.Protocol = PR_PIO_READ;
    r.DataLen = 1024;
    r.Buffer.assign(100, 0);
    lab.dev->ExecuteCommand(r);
    EXPECT_LE(r.DataLen, 100);
}

TEST(BufferSafety, OddWriteLengthCompletesTheSectorWithZeroes) {
    Lab lab(Disk());
    std::vector<std::uint8_t> data = Pattern(513, 6);
    AtaCommandRecord w = Lab::Rw(0x30, 20, 2, RESETENABLE | READREGS, 1000);
    w.Protocol = PR_PIO_WRITE;
    w.Buffer = data;
    w.DataLen = 513;
    lab.dev->ExecuteCommand(w);
    EXPECT_EQ(w.Result, ATA_OK);
    auto second = lab.Master().ReadSectorForTest(21);
    EXPECT_EQ(second[0], data[512]);
    EXPECT_EQ(second[1], 0);
    EXPECT_EQ(second[511], 0);
}

TEST(BufferSafety, GrowingReadIsBoundedWhenTheDeviceNeverDropsDrq) {
    Lab lab(Disk());
    // READ SECTORS EXT with count 0: 65536 sectors, far more than the growth bound.
    AtaCommandRecord r = Lab::Rw(0x20, 0, 65536, RESETENABLE | READREGS, 4500);
    r.Protocol = PR_PIO_READ_DRDY;
    r.DataLen = 512;
    r.Buffer.assign(512, 0);
    lab.dev->ExecuteCommand(r);
    EXPECT_EQ(r.Result, ATA_TIMEOUT);
    EXPECT_EQ(static_cast<std::size_t>(r.DataLen), kMaxGrownBuffer);
    EXPECT_EQ(r.Buffer.size(), kMaxGrownBuffer);
}

TEST(BufferSafety, RandomRecordsStayInsideTheirBuffers) {
    SimDeviceConfig d = Disk(1 << 16);
    d.defects.push_back({3, SimDefectKind::UNC});
    d.defects.push_back({4, SimDefectKind::ABRT});
    d.ram = Pattern(4096, 1);
    Lab lab(d, Device(SimDeviceConfig::Type::Packet));
    std::mt19937 rng(20240611);
    auto pick = [&](auto... v) {
        std::uint32_t opts[] = {static_cast<std::uint32_t>(v)...};
        return opts[rng() % sizeof...(v)];
    };
    for (int i = 0; i < 800; ++i) {
        std::array<std::uint8_t, 47> raw;
        for (auto& b : raw)
            b = static_cast<std::uint8_t>(rng());
        AtaCommandRecord r;
        r.DecodeFrom(raw.data());
        r.Protocol = static_cast<std::uint8_t>(rng() % 12);
        r.CR = static_cast<std::uint8_t>(pick(0x20, 0x24, 0x30, 0x34, 0xEC, 0xA1, 0x22, 0x40, 0x70,
                                              0xF0, 0xF1, 0xF2, 0xF3, 0xFA, 0xEF, rng() & 0xFF));
        r.Flags = rng() & 0x1FFF & ~static_cast<std::uint32_t>(RESETENABLE);
        r.Time = static_cast<std::int32_t>(rng() % 6);
        r.DataLen = static_cast<std::int32_t>(
            pick(-7, 0, 1, 3, 7, 511, 513, 1023, 4097, rng() % 20000, 0x7FFFFFFF));
        r.DH = static_cast<std::uint8_t>(pick(0, 1, 2, 0xE0, 0xA0, rng() & 0xFF));
        r.SC = static_cast<std::uint8_t>(rng() % 4);
        r.SC1 = 0;
        std::vector<std::uint8_t> trailing(rng() % 1500, 0x5A);
        if (!PrepareCommandBuffer(r, trailing))
            continue;
        lab.dev->SetPendingWords(static_cast<std::int32_t>(rng() % 600));
        std::vector<std::uint8_t> trace(r.Has(WRITELOG) ? 10240 : 0);
        lab.dev->Log().Attach(trace.empty() ? nullptr : trace.data(),
                              static_cast<std::uint32_t>(trace.size()));
        lab.dev->SetMaster(rng() % 2);
        lab.globals.fCriticalATAError = rng() % 8 == 0;
        lab.dev->ExecuteCommand(r);
        ASSERT_GE(r.DataLen, 0) << "record " << i;
        ASSERT_LE(static_cast<std::size_t>(r.DataLen), r.Buffer.size()) << "record " << i;
        ASSERT_LE(lab.dev->Log().BytesUsed(), trace.size());
        ASSERT_LE(r.Buffer.size(), std::max<std::size_t>(kMaxGrownBuffer, 20000));
        if (i % 50 == 0) { // bring the channel back to a known state now and then
            AtaCommandRecord reset;
            reset.Time = 40000;
            reset.Flags = NOREADYDRSC;
            lab.dev->ResetDevice(reset);
        }
    }
}

} // namespace zkv::test
