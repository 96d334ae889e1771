// The disk helper's round trip on the simulated drive: one status read (the protocol's fixed
// cost), and a batch of reads through the helper beside the same reads on the engine in-process.
#include "ata/HDCDevice.h"
#include "helper/HelperClient.h"
#include "sim/SimIde.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace zkv::helper {
namespace {

constexpr const char* kPrimary = "pci-0000:00:01.1\\1";
constexpr const char* kHardware =
    R"({"channels": [{"command_block": 496, "control_block": 1014,
                      "master": {"type": "disk", "sectors": 1048576}}]})";

struct HelperLab {
    HelperLab() {
        char dir[] = "/tmp/zkv-helper-bench-XXXXXX";
        folder = mkdtemp(dir);
        path = folder + "/hw.json";
        std::ofstream(path) << kHardware;
        std::string error;
        client = DiskHelperClient::Start({ZKV_DISK_HELPER, "--hardware", "sim:" + path}, error);
        ChannelReply taken;
        if (!client || !client->Hello(error) || !client->Take(kPrimary, taken, error) || !taken.ok)
            std::abort();
    }
    ~HelperLab() {
        client.reset();
        std::remove(path.c_str());
        rmdir(folder.c_str());
    }
    std::string folder, path;
    std::unique_ptr<DiskHelperClient> client;
};

AtaCommandRecord Read(std::uint32_t lba) {
    AtaCommandRecord r;
    r.DH = 0xE0;
    r.CR = 0x20;
    r.SC = 0; // 256 sectors
    r.SN = static_cast<std::uint8_t>(lba);
    r.CL = static_cast<std::uint8_t>(lba >> 8);
    r.CH = static_cast<std::uint8_t>(lba >> 16);
    r.Protocol = PR_PIO_READ;
    r.Flags = RESETENABLE | READREGS;
    r.Time = 10000;
    r.RepeatCnt = 1;
    r.DataLen = 256 * 512;
    return r;
}

void BM_HelperStatusRoundTrip(benchmark::State& state) {
    HelperLab lab;
    AtaCommandRecord rec;
    std::string error;
    for (auto _ : state)
        if (!lab.client->ReadStatus(kPrimary, false, rec, error))
            state.SkipWithError(error.c_str());
}
BENCHMARK(BM_HelperStatusRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// 16 reads of 128 KiB (2 MiB) in one round trip.
void BM_HelperBatchOfReads(benchmark::State& state) {
    HelperLab lab;
    BatchRequest batch;
    batch.key = kPrimary;
    for (std::uint32_t i = 0; i < 16; ++i)
        batch.entries.push_back({ENTRY_COMMAND, Read(i * 256)});
    BatchReply reply;
    std::string error;
    for (auto _ : state)
        if (!lab.client->RunBatch(batch, reply, error))
            state.SkipWithError(error.c_str());
    state.SetBytesProcessed(state.iterations() * 16 * 256 * 512);
}
BENCHMARK(BM_HelperBatchOfReads)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EngineSameReads(benchmark::State& state) {
    SimHardwareConfig cfg;
    SimChannelConfig ch;
    ch.master.type = SimDeviceConfig::Type::Disk;
    ch.master.sectors = 1048576;
    cfg.channels.push_back(ch);
    SimIdeHardware hw(cfg);
    AtaGlobals globals;
    SharedFlags flags;
    THDCDevice dev(hw, hw.Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);
    for (auto _ : state)
        for (std::uint32_t i = 0; i < 16; ++i) {
            AtaCommandRecord r = Read(i * 256);
            r.Buffer.assign(256 * 512, 0);
            dev.ExecuteCommand(r);
            benchmark::DoNotOptimize(r.Result);
        }
    state.SetBytesProcessed(state.iterations() * 16 * 256 * 512);
}
BENCHMARK(BM_EngineSameReads)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace zkv::helper

BENCHMARK_MAIN();
