// The scan thread on the simulated drive: defects, narrowing, repair, stop, reporting rhythm.
#include "ScanSupport.h"

#include "support/ByteOrder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace zkv {
namespace {

using test::Disk;
using test::Params;
using test::ScanLab;

std::int64_t SumSectors(const std::vector<ScanSurfaceResult>& rs) {
    std::int64_t n = 0;
    for (const auto& r : rs)
        n += r.sectors;
    return n;
}

// Blocks follow each other without gap or overlap from `start`.
void ExpectContiguous(const std::vector<ScanSurfaceResult>& rs, std::int64_t start) {
    std::int64_t at = start;
    for (const auto& r : rs) {
        ASSERT_EQ(r.lba, at);
        at += r.sectors;
    }
}

const ScanSurfaceResult* Containing(const std::vector<ScanSurfaceResult>& rs, std::int64_t lba) {
    for (const auto& r : rs)
        if (lba >= r.lba && lba < r.lba + r.sectors)
            return &r;
    return nullptr;
}

TEST(ScanWire, RecordsAndCommands) {
    ScanSurfaceParams p = Params(0x01020304, 0x0A0B0C0D, SCAN_LBA48 | SCAN_REMAP);
    p.attempts = -2;
    auto b = p.Encode();
    EXPECT_EQ(GetU32(&b[12 + 4 * 5]), 500u);
    EXPECT_EQ(GetI32(&b[40]), -2);
    EXPECT_EQ(b[52], SCAN_LBA48 | SCAN_REMAP);
    ScanSurfaceParams q;
    EXPECT_FALSE(q.Decode(std::span(b).first(55)));
    ASSERT_TRUE(q.Decode(b));
    EXPECT_EQ(q.Encode(), b);
    ScanSurfaceResult r{-5, 65535, 17, 0x51, 0x40, 3, 6};
    std::uint8_t w[36];
    r.EncodeTo(w);
    EXPECT_EQ(GetU64(w), static_cast<std::uint64_t>(-5)); // sign-extended
    EXPECT_EQ(ScanSurfaceResult::DecodeFrom(w).code, 6u);

    // CR, SC, SC1, SN1, DH, flags, protocol, DataLen, Time
    using Regs = std::tuple<int, int, int, int, int, unsigned, int, int, int>;
    auto cmd = [](ScanStep step, std::int64_t lba, std::int32_t n, std::uint8_t flags) {
        AtaCommandRecord c;
        BuildScanCommand(c, step, lba, n, flags, 2, 1000);
        return Regs{c.CR, c.SC, c.SC1, c.SN1, c.DH, c.Flags, c.Protocol, c.DataLen, c.Time};
    };
    EXPECT_EQ(cmd(ScanStep::Verify, 0x0ABCDEF1, 256, 0),
              (Regs{0x40, 0, 0, 0, 0xEA, 0x70, PR_NO_DATA, 0, 1000}));
    EXPECT_EQ(cmd(ScanStep::Verify, 0x12345678, 65535, SCAN_LBA48 | SCAN_READ_DATA),
              (Regs{0x24, 0xFF, 0xFF, 0x12, 0xE0, 0x78, PR_PIO_READ, 65535 * 512, 1000}));
    EXPECT_EQ(cmd(ScanStep::Remap, 0x0123456, 1, SCAN_LBA48),
              (Regs{0x50, 1, 0, 0, 0xE0, 0x70, PR_PIO_WRITE, 512, 10000}));
    EXPECT_EQ(cmd(ScanStep::ReadLong, 7, 1, 0),
              (Regs{0x22, 1, 0, 0, 0xE0, 0x70, PR_PIO_READ_DRDY, 512, 1000}));
    EXPECT_EQ(cmd(ScanStep::Rewrite, 0x10000000, 1, SCAN_LBA48),
              (Regs{0x34, 1, 0, 0x10, 0xE0, 0x78, PR_PIO_WRITE, 512, 1000}));
}

class ScanDefects : public testing::TestWithParam<bool> {};

// UNC, IDNF and ABRT sectors placed where narrowing ends (the last block of the range, the last
// 256-block of a failing 65535-block) and a slow sector: each defect is one 1-sector block of its
// class, the blocks cover the range exactly, and the caching features are off during the scan.
TEST_P(ScanDefects, EveryDefectIsOneSectorOfItsClass) {
    const bool ext = GetParam();
    const std::int32_t start = 1000;
    const std::int32_t count = ext ? 2 * 65535 + 5000 : 3000;
    const std::int64_t unc = ext ? start + 65535 - 3 : 1100;
    const std::int64_t idnf = ext ? start + 65535 + 300 : 1600;
    const std::int64_t abrt = start + count - 1;
    const std::int64_t slow = ext ? start + 2 * 65535 + 100 : 2500;
    SimDeviceConfig d = Disk();
    d.defects = {{static_cast<std::uint64_t>(unc), SimDefectKind::UNC},
                 {static_cast<std::uint64_t>(idnf), SimDefectKind::IDNF},
                 {static_cast<std::uint64_t>(abrt), SimDefectKind::ABRT}};
    d.slow = {{static_cast<std::uint64_t>(slow), 1, 30}};
    ScanLab s(d);
    struct Watch : IScanObserver {
        ScanLab* s;
        int batches = 0;
        bool cachingOff = false;
        void BatchDone() override {
            if (batches++ == 0)
                cachingOff =
                    !s->lab.Master().WriteCacheEnabled() && !s->lab.Master().LookAheadEnabled();
        }
    } watch;
    watch.s = &s;
    s.service.SetObserver(&watch);

    auto rs = s.Scan(Params(start, count, ext ? SCAN_LBA48 : 0));
    ExpectContiguous(rs, start);
    EXPECT_EQ(SumSectors(rs), count);
    for (auto [lba, cls] : {std::pair{unc, kClassUnc}, {idnf, kClassIdnf}, {abrt, kClassAbort}}) {
        const ScanSurfaceResult* r = Containing(rs, lba);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->lba, lba);
        EXPECT_EQ(r->sectors, 1);
        EXPECT_EQ(BlockClass(*r, s.service.Model().Statistics().thresholds), cls);
        EXPECT_EQ(r->resultFlags, RES_VERIFY_DONE | RES_VERIFY_ERROR);
    }
    int errors = 0;
    for (const auto& r : rs)
        errors += r.Has(RES_VERIFY_ERROR);
    EXPECT_EQ(errors, 3);
    EXPECT_EQ(BlockClass(*Containing(rs, slow), s.service.Model().Statistics().thresholds), 4);

    // Every packet but the last says "running"; the model saw what the technician got.
    ASSERT_FALSE(s.link.packets.empty());
    for (std::size_t i = 0; i + 1 < s.link.packets.size(); ++i)
        EXPECT_FALSE(s.link.packets[i].over);
    EXPECT_TRUE(s.link.packets.back().over);
    EXPECT_FALSE(s.link.malformed);
    const ScanStatistics& st = s.service.Model().Statistics();
    EXPECT_EQ(st.processedSectors, count);
    EXPECT_EQ(st.percent, 100);
    EXPECT_EQ(st.counters[7], 1); // ABORT
    EXPECT_EQ(st.counters[8], 1); // UNC
    EXPECT_EQ(st.counters[9], 1); // IDNF
    EXPECT_EQ(s.service.Model().Report().size(), 3u);
    EXPECT_EQ(s.service.Model().Progress(), 0); // the end handler
    EXPECT_FALSE(s.service.ScanRunning());
    EXPECT_FALSE(s.service.LastStopped());

    EXPECT_TRUE(watch.cachingOff);
    EXPECT_TRUE(s.lab.Master().WriteCacheEnabled());
    EXPECT_TRUE(s.lab.Master().LookAheadEnabled());
}
INSTANTIATE_TEST_SUITE_P(Bits, ScanDefects, testing::Values(false, true),
                         [](const auto& i) { return i.param ? "Lba48" : "Lba28"; });

// A disk image whose sector 100 holds a pattern under a UNC defect.
struct ImageWithPattern {
    ImageWithPattern() {
        int fd = mkstemp(path);
        data = test::Pattern(512, 3);
        EXPECT_EQ(pwrite(fd, data.data(), 512, 100 * 512), 512);
        close(fd);
    }
    ~ImageWithPattern() { std::remove(path); }
    char path[32] = "/tmp/zkv-scan-imgXXXXXX";
    std::vector<std::uint8_t> data;
};

TEST(ScanRepair, RewriteRemapAndControlRead) {
    const auto rowOf = [](const ScanLab& s, std::int64_t lba) {
        for (const auto& row : s.service.Model().Report())
            if (row.cells[0] == std::to_string(lba))
                return row.cells;
        return std::array<std::string, 5>{};
    };
    {
        // READ LONG data written back; the IDNF sector's rewrite fails: no control read.
        ImageWithPattern img;
        SimDeviceConfig d = Disk();
        d.image = img.path;
        d.defects = {{100, SimDefectKind::UNC}, {200, SimDefectKind::IDNF}};
        ScanLab s(d);
        auto rs = s.Scan(Params(0, 512, SCAN_WRITE | SCAN_READ_LONG));
        EXPECT_EQ(Containing(rs, 100)->resultFlags,
                  RES_VERIFY_DONE | RES_VERIFY_ERROR | RES_WRITE_DONE | RES_CTLREAD_DONE);
        EXPECT_EQ(Containing(rs, 200)->resultFlags,
                  RES_VERIFY_DONE | RES_VERIFY_ERROR | RES_WRITE_DONE | RES_WRITE_ERROR);
        EXPECT_EQ(rowOf(s, 100), (std::array<std::string, 5>{"100", "error uncorrectable error",
                                                             "did not do", "ok", "ok"}));
        EXPECT_EQ(rowOf(s, 200), (std::array<std::string, 5>{"200", "error ID not found",
                                                             "did not do", "error", "did not do"}));
        AtaCommandRecord back = s.lab.Read(100);
        EXPECT_EQ(back.Result, ATA_OK); // reads back clean
        EXPECT_EQ(back.Buffer, img.data);
    }
    {
        // Without READ LONG the bad sector is rewritten with zeros.
        ImageWithPattern img;
        SimDeviceConfig d = Disk();
        d.image = img.path;
        d.defects = {{100, SimDefectKind::UNC}};
        ScanLab s(d);
        s.Scan(Params(0, 256, SCAN_WRITE));
        AtaCommandRecord back = s.lab.Read(100);
        EXPECT_EQ(back.Result, ATA_OK);
        EXPECT_EQ(back.Buffer, std::vector<std::uint8_t>(512, 0));
    }
    {
        // The remap is issued below 0x0FFFFFFF only.
        SimDeviceConfig d = Disk((1ULL << 28) + 4096);
        d.defects = {{0x0FFFFFFE, SimDefectKind::IDNF}, {0x0FFFFFFF, SimDefectKind::IDNF}};
        ScanLab s(d);
        auto rs = s.Scan(Params(0x0FFFFF00, 512, SCAN_LBA48 | SCAN_REMAP));
        EXPECT_EQ(SumSectors(rs), 512);
        EXPECT_EQ(Containing(rs, 0x0FFFFFFE)->resultFlags,
                  RES_VERIFY_DONE | RES_VERIFY_ERROR | RES_REMAP_DONE);
        EXPECT_EQ(Containing(rs, 0x0FFFFFFF)->resultFlags, RES_VERIFY_DONE | RES_VERIFY_ERROR);
        EXPECT_FALSE(s.lab.Master().HasDefect(0x0FFFFFFE));
        EXPECT_TRUE(s.lab.Master().HasDefect(0x0FFFFFFF));
        EXPECT_EQ(rowOf(s, 0x0FFFFFFE)[2], "ok");
        EXPECT_EQ(rowOf(s, 0x0FFFFFFF)[2], "did not do");
    }
}

// A stop request, and AbortRequest, in the middle of one long slice: the blocks done so far
// still arrive, in one packet that says the scan is over.
TEST(ScanStop, StopAndAbortDuringASliceDeliverThePartialBatch) {
    SimDeviceConfig d = Disk();
    for (std::uint64_t i = 0; i < 40; ++i)
        d.slow.push_back({i * 256, 1, 40}); // 40 ms of real time per block
    for (bool abort : {false, true}) {
        ScanLab s(d, true);
        ScanSurfaceParams p = Params(0, 40 * 256);
        p.sliceMs = 1'000'000;
        ASSERT_TRUE(s.Start(p));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (abort)
            s.lab.flags.SetAbortRequest();
        else
            s.service.RequestStop();
        ASSERT_TRUE(s.service.WaitForEnd(std::chrono::seconds(20)));
        ASSERT_EQ(s.link.packets.size(), 1u);
        const auto& pk = s.link.packets[0];
        EXPECT_TRUE(pk.over);
        EXPECT_GT(pk.records.size(), 0u);
        EXPECT_LT(pk.records.size(), 40u);
        ExpectContiguous(pk.records, 0);
        EXPECT_TRUE(s.service.LastStopped());
        EXPECT_EQ(s.lab.flags.OperationStopped(), abort);
        EXPECT_TRUE(s.lab.Master().WriteCacheEnabled()); // the end handler ran
    }
}

TEST(ScanStop, AResetThatRunsOutOfTimeEndsTheScan) {
    // A drive that never leaves BSY: the first command's reset runs out its 40 s and the scan
    // ends there instead of resetting again for every block and sector of the range.
    ScanLab s(test::Device(SimDeviceConfig::Type::Busy));
    const std::uint64_t t0 = s.lab.NowNs();
    const auto rs = s.Scan(Params(0, 256 * 4));
    EXPECT_LT(s.lab.NowNs() - t0, 2 * 40'000'000'000u);
    EXPECT_TRUE(rs.empty());
    ASSERT_EQ(s.link.packets.size(), 1u);
    EXPECT_TRUE(s.link.packets[0].over);
    EXPECT_TRUE(s.service.LastStopped());
}

// reportPeriod 0: one packet per slice; 2: after slices 3, 6, 9 ... and after the last one.
TEST(ScanReporting, PacketsFollowTheReportPeriod) {
    for (std::uint32_t period : {0u, 2u}) {
        ScanLab s(Disk());
        struct Batches : IScanObserver {
            const ScanViewModel* m;
            std::int64_t seen = 0;
            std::vector<std::size_t> records; // per slice
            void BatchDone() override {
                records.push_back(
                    static_cast<std::size_t>((m->Statistics().processedSectors - seen) / 256));
                seen = m->Statistics().processedSectors;
            }
        } b;
        b.m = &s.service.Model();
        s.service.SetObserver(&b);
        ScanSurfaceParams p = Params(0, 256 * 40);
        p.sliceMs = 1;
        p.reportPeriod = period;
        s.Scan(p);
        ASSERT_GE(b.records.size(), 7u);
        std::vector<std::size_t> expected;
        std::size_t group = 0;
        for (std::size_t i = 0; i < b.records.size(); ++i) {
            group += b.records[i];
            if ((i + 1) % (period + 1) == 0 || i + 1 == b.records.size()) {
                expected.push_back(group);
                group = 0;
            }
        }
        std::vector<std::size_t> got;
        for (const auto& pk : s.link.packets)
            got.push_back(pk.records.size());
        EXPECT_EQ(got, expected) << "period " << period;
        EXPECT_TRUE(s.link.packets.back().over);
    }
}

TEST(ScanStart, RefusedStartsSecondScanAndAttempts) {
    ScanLab s(Disk());
    const int before = s.lab.Master().Commands();
    for (auto [start, count] : {std::pair{0, 0}, {0, -5}, {-1, 100}, {0x7FFFFF00, 0x200}})
        EXPECT_FALSE(s.Start(Params(start, count)));
    // A 28-bit scan past sector 2^28 - 1 would wrap to the start of the disk; 48-bit may go on.
    EXPECT_FALSE(s.Start(Params(static_cast<std::int32_t>(kScanLimit28) - 100, 101)));
    EXPECT_NE(s.service.RefusalReason().find("268435456 (2^28)"), std::string::npos);
    EXPECT_NE(s.service.RefusalReason().find("268435356 to 268435456"), std::string::npos);
    std::array<std::uint8_t, 55> shortRecord{};
    EXPECT_FALSE(s.service.StartScan(shortRecord, 1));
    EXPECT_FALSE(s.service.ScanRunning());
    EXPECT_EQ(s.lab.Master().Commands(), before); // not even the caching features were touched
    EXPECT_TRUE(s.link.packets.empty());

    // A second start while a scan runs is refused; the first one goes on to its end.
    ASSERT_TRUE(s.Start(Params(0, 256 * 2000)));
    EXPECT_FALSE(s.Start(Params(0, 256)));
    ASSERT_TRUE(s.service.WaitForEnd(std::chrono::seconds(60)));
    EXPECT_EQ(SumSectors(s.link.All()), 256 * 2000);
    EXPECT_EQ(s.service.Destination(), 77);

    // attempts below 1 count as 1; 3 really retries.
    auto commands = [](std::int32_t attempts) {
        SimDeviceConfig d = Disk();
        d.defects = {{10, SimDefectKind::UNC}};
        ScanLab t(d);
        ScanSurfaceParams p = Params(0, 256);
        p.attempts = attempts;
        auto rs = t.Scan(p);
        EXPECT_EQ(Containing(rs, 10)->sectors, 1);
        return t.lab.Master().Commands();
    };
    const int one = commands(1);
    EXPECT_EQ(commands(0), one);
    EXPECT_EQ(commands(-3), one);
    EXPECT_GT(commands(3), one);
}

} // namespace
} // namespace zkv
