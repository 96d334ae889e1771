// Cost of the ATA engine's PIO read on the simulated drive: port accesses per sector against the
// minimum (256 data-word reads and one status poll per sector), and wall time per sector.
#include "ata/HDCDevice.h"
#include "sim/SimIde.h"

#include <benchmark/benchmark.h>

namespace zkv {
namespace {

struct BenchLab {
    BenchLab() {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = 1 << 20;
        cfg.channels.push_back(ch);
        hw = std::make_unique<SimIdeHardware>(cfg);
        dev = std::make_unique<THDCDevice>(
            *hw, hw->Clock(), std::vector<IoRange>{{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);
    }
    int Read(std::uint32_t lba, int sectors) {
        AtaCommandRecord r;
        r.DH = static_cast<std::uint8_t>(0xE0 | ((lba >> 24) & 0x0F));
        r.CR = 0x20;
        r.SC = static_cast<std::uint8_t>(sectors);
        r.SN = static_cast<std::uint8_t>(lba);
        r.CL = static_cast<std::uint8_t>(lba >> 8);
        r.CH = static_cast<std::uint8_t>(lba >> 16);
        r.Protocol = PR_PIO_READ;
        r.Flags = RESETENABLE | READREGS;
        r.Time = 10000;
        r.DataLen = sectors * 512;
        r.Buffer.assign(static_cast<std::size_t>(sectors) * 512, 0);
        dev->ExecuteCommand(r);
        return r.Result;
    }
    AtaGlobals globals;
    SharedFlags flags;
    std::unique_ptr<SimIdeHardware> hw;
    std::unique_ptr<THDCDevice> dev;
};

void BM_PioRead(benchmark::State& state) {
    const int sectors = static_cast<int>(state.range(0));
    BenchLab lab;
    lab.Read(0, 1);
    lab.hw->ResetCounts();
    std::uint64_t commands = 0;
    for (auto _ : state) {
        if (lab.Read(static_cast<std::uint32_t>(commands * 256 % 100000), sectors) != ATA_OK)
            state.SkipWithError("read failed");
        ++commands;
    }
    const double perSector =
        static_cast<double>(lab.hw->TotalAccesses()) / static_cast<double>(commands * sectors);
    state.counters["accesses_per_sector"] = perSector;
    state.counters["minimum_per_sector"] = 257;
    state.counters["overhead_pct"] = (perSector / 257.0 - 1.0) * 100.0;
    state.SetItemsProcessed(static_cast<std::int64_t>(commands) * sectors);
    state.SetBytesProcessed(static_cast<std::int64_t>(commands) * sectors * 512);
}
BENCHMARK(BM_PioRead)->Arg(1)->Arg(256)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace zkv

BENCHMARK_MAIN();
