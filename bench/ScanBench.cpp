// A surface scan of 10^6 blocks on the simulated drive (virtual clock): resident memory before
// and after, and CPU per block. The figures are read by people, never asserted.
#include "sim/SimIde.h"
#include "tools/ScanService.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <fstream>
#include <unistd.h>

namespace {

using namespace zkv;

long RssKiB() {
    std::ifstream f("/proc/self/statm");
    long size = 0, resident = 0;
    f >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
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

void BM_ScanMillionBlocks(benchmark::State& state) {
    const std::int64_t blocks = state.range(0);
    for (auto _ : state) {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = 1ULL << 28;
        ch.master.defects = {{1000, SimDefectKind::UNC}, {123456789, SimDefectKind::IDNF}};
        cfg.channels.push_back(ch);
        SimIdeHardware hw(cfg);
        AtaGlobals globals;
        SharedFlags flags;
        THDCDevice dev(hw, hw.Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);
        DriveInfo info;
        dev.SelectDevice();
        dev.IdentifyDevice(info);
        CountingLink link;
        DirectMainThread main;
        ScanService service([&] { return &dev; }, &link, main);
        ScanSurfaceParams p;
        p.count = static_cast<std::int32_t>(blocks * 256);
        p.timeout = {5, 10, 20, 50, 150, 500};
        p.commandTimeout = 2000;
        p.attempts = 1;
        p.sliceMs = 50;
        const long rssStart = RssKiB();
        const double cpu0 = CpuSeconds();
        if (!service.StartScan(p.Encode(), 1))
            state.SkipWithError("scan refused");
        service.WaitForEnd();
        const double cpu = CpuSeconds() - cpu0;
        const long rssEnd = RssKiB();
        state.counters["rss_start_KiB"] = static_cast<double>(rssStart);
        state.counters["rss_end_KiB"] = static_cast<double>(rssEnd);
        state.counters["rss_growth_KiB"] = static_cast<double>(rssEnd - rssStart);
        state.counters["cpu_us_per_block"] = cpu * 1e6 / static_cast<double>(link.records);
        state.counters["records"] = static_cast<double>(link.records);
        state.counters["packets"] = static_cast<double>(link.packets);
        state.counters["slices"] = static_cast<double>(service.Model().Batches());
    }
}
BENCHMARK(BM_ScanMillionBlocks)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
