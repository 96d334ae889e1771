// A surface scan of 10^6 blocks on the simulated drive (virtual clock) beside the very same ATA
// commands issued bare, and the scan's resident memory growth. The figures are read by people,
// never asserted.
//
// What the two runs share: a fresh drive of the same configuration (2^28 sectors, a UNC and an
// IDNF sector), the same THDCDevice reached as a TControllerInfo, the same worker-thread
// arrangement (the commands run on a thread of their own while the benchmark's thread waits in
// 1 ms sleeps), the same records (BuildScanCommand: 28-bit READ VERIFY of 256 sectors, attempts
// 1, time-out 2000 ms, the critical-error flag cleared before each command), the same sequence
// (SET FEATURES write cache off and look-ahead off, SEEK to 0, every block in order, a failing
// block again sector by sector, SET FEATURES back on at the end).
//
// What the bare run leaves out, and only that: the scan's bookkeeping. No result records, no
// slices (clock readings and hand-overs), no pending-range stack, no view model (block classes,
// counters, map, report rows, summary texts), no CMD_SHOW_SCAN records and no IMainThread calls.
// The port access counts of both runs are reported so that "the same commands" can be checked.
//
// Each iteration runs scan, bare, bare, scan (so a drift in the machine's load weighs on both
// alike); the times are the sums of the two runs of each. The scan's memory figures are those
// of the first scan, in a process that has run nothing else yet.
#include "sim/SimIde.h"
#include "tools/ScanService.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace zkv;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKiB(const std::string& field) {
    std::ifstream f("/proc/self/status");
    std::string key;
    while (f >> key) {
        if (key == field + ":") {
            long v = -1;
            f >> v;
            return v;
        }
        f.ignore(1 << 16, '\n');
    }
    return -1;
}

// Makes VmHWM start again from the current VmRSS; false where the kernel does not allow it.
bool ResetPeakRss() {
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
    f.flush();
    return static_cast<bool>(f);
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Counts what the technician would receive, keeping nothing.
class CountingLink final : public ITechnicianLink {
public:
    void ApplyReplyRouting() override {}
    bool SendToTechnician(CommandCode, std::span<const std::uint8_t> data) override {
        ++packets;
        records += (data.size() - 1) / ScanSurfaceResult::kSize;
        return true;
    }
    bool TechnicianAttached() const override { return true; }
    std::int32_t CurrentSender() const override { return 0; }
    std::uint64_t packets = 0, records = 0;
};

constexpr std::uint32_t kCommandTimeout = 2000;

struct Drive {
    Drive() : hw(Config()), dev(hw, hw.Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags) {
        DriveInfo info;
        dev.SelectDevice();
        dev.IdentifyDevice(info);
        hw.ResetCounts();
    }
    static SimHardwareConfig Config() {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = 1ULL << 28;
        ch.master.defects = {{1000, SimDefectKind::UNC}, {123456789, SimDefectKind::IDNF}};
        cfg.channels.push_back(ch);
        return cfg;
    }
    SimIdeHardware hw;
    AtaGlobals globals;
    SharedFlags flags;
    THDCDevice dev;
};

struct RunFigures {
    double wall = 0, cpu = 0;
    long rssGrowthKiB = 0, peakGrowthKiB = -1;
    std::uint64_t accesses = 0;
    std::uint64_t records = 0, packets = 0, slices = 0;
};

// Wall and CPU time, resident and peak memory from its construction to Into().
struct Meter {
    const bool peak = ResetPeakRss();
    const long rss0 = StatusKiB("VmRSS");
    const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
    void Into(RunFigures& f) const {
        f.wall = WallSeconds() - wall0;
        f.cpu = CpuSeconds() - cpu0;
        f.rssGrowthKiB = StatusKiB("VmRSS") - rss0;
        if (peak)
            f.peakGrowthKiB = StatusKiB("VmHWM") - rss0;
    }
};

// The benchmark's thread waits the way ScanService::WaitForEnd does.
void WaitPolling(const std::atomic<bool>& done) {
    while (!done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

RunFigures RunScan(std::int64_t blocks) {
    Drive d;
    CountingLink link;
    DirectMainThread main;
    TControllerInfo& dev = d.dev;
    ScanService service([&] { return &dev; }, &link, main);
    ScanSurfaceParams p;
    p.count = static_cast<std::int32_t>(blocks * kScanBlock28);
    p.timeout = {5, 10, 20, 50, 150, 500};
    p.commandTimeout = kCommandTimeout;
    p.attempts = 1;
    p.sliceMs = 50;
    const auto bytes = p.Encode();

    RunFigures f;
    Meter meter;
    if (service.StartScan(bytes, 1))
        service.WaitForEnd();
    meter.Into(f);
    f.accesses = d.hw.TotalAccesses();
    f.records = link.records;
    f.packets = link.packets;
    f.slices = service.Model().Batches();
    return f;
}

// The scan's command sequence with nothing kept.
class BareCommands {
public:
    explicit BareCommands(TControllerInfo& dev) : dev_(dev) { rec_.Buffer.assign(1024, 0); }

    bool Execute(ScanStep step, std::int64_t lba, std::int32_t count) {
        BuildScanCommand(rec_, step, lba, count, 0, 1, kCommandTimeout);
        dev_.Globals().fCriticalATAError = false;
        dev_.ExecuteCommand(rec_);
        return rec_.Result == ATA_OK;
    }
    void SetFeatures(std::uint8_t sub) {
        dev_.Globals().fCriticalATAError = false;
        dev_.SetFeatures(rec_, sub);
    }

private:
    TControllerInfo& dev_;
    AtaCommandRecord rec_;
};

RunFigures RunBare(std::int64_t blocks) {
    Drive d;
    TControllerInfo& dev = d.dev;
    const std::int64_t end = blocks * kScanBlock28;

    RunFigures f;
    Meter meter;
    BareCommands bare(dev);
    const DeviceID& id = dev.Globals().CurrentId;
    const bool cacheOff = id.WriteCacheSupported() && id.WriteCacheEnabled();
    const bool lookAheadOff = id.LookAheadSupported() && id.LookAheadEnabled();
    if (cacheOff)
        bare.SetFeatures(0x82);
    if (lookAheadOff)
        bare.SetFeatures(0x55);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        bare.Execute(ScanStep::Seek, 0, 0);
        for (std::int64_t lba = 0; lba < end; lba += kScanBlock28) {
            if (!bare.Execute(ScanStep::Verify, lba, kScanBlock28))
                for (std::int64_t s = lba; s < lba + kScanBlock28; ++s)
                    bare.Execute(ScanStep::Verify, s, 1);
        }
        if (cacheOff)
            bare.SetFeatures(0x02);
        if (lookAheadOff)
            bare.SetFeatures(0xAA);
        done = true;
    });
    WaitPolling(done);
    worker.join();
    meter.Into(f);
    f.accesses = d.hw.TotalAccesses();
    return f;
}

void BM_ScanAgainstBare(benchmark::State& state) {
    const std::int64_t blocks = state.range(0);
    for (auto _ : state) {
        const RunFigures scan1 = RunScan(blocks);
        const RunFigures bare1 = RunBare(blocks);
        const RunFigures bare2 = RunBare(blocks);
        const RunFigures scan2 = RunScan(blocks);
        const double bareWall = bare1.wall + bare2.wall, scanWall = scan1.wall + scan2.wall;
        const double bareCpu = bare1.cpu + bare2.cpu, scanCpu = scan1.cpu + scan2.cpu;
        auto& c = state.counters;
        c["bare_s"] = bareWall / 2;
        c["scan_s"] = scanWall / 2;
        c["bare_cpu_s"] = bareCpu / 2;
        c["scan_cpu_s"] = scanCpu / 2;
        // scan / bare - 1, in percent: process CPU (both threads) and wall time.
        c["over_cpu_pct"] = (scanCpu / bareCpu - 1) * 100;
        c["over_wall_pct"] = (scanWall / bareWall - 1) * 100;
        c["scan_rss_growth_KiB"] = static_cast<double>(scan1.rssGrowthKiB);
        c["scan_peak_growth_KiB"] = static_cast<double>(scan1.peakGrowthKiB);
        c["scan2_rss_growth_KiB"] = static_cast<double>(scan2.rssGrowthKiB);
        c["bare_rss_growth_KiB"] = static_cast<double>(bare1.rssGrowthKiB);
        c["bare_port_accesses"] = static_cast<double>(bare1.accesses);
        c["scan_port_accesses"] = static_cast<double>(scan1.accesses);
        c["scan_cpu_us_per_block"] = scanCpu / 2 * 1e6 / static_cast<double>(scan1.records);
        c["records"] = static_cast<double>(scan1.records);
        c["packets"] = static_cast<double>(scan1.packets);
        c["slices"] = static_cast<double>(scan1.slices);
        if (scan1.records != scan2.records || bare1.accesses != bare2.accesses)
            state.SkipWithError("two runs of the same kind differ");
    }
}
// 10^6 blocks take about a minute (four runs); 10^4 blocks are a quick look
// (--benchmark_filter=/10000/). CI builds the program but does not run it.
BENCHMARK(BM_ScanAgainstBare)->Arg(10'000)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
