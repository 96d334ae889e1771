// The engine's time per command above the pass-through call: the same READ SECTORS EXT (and a
// non-data READ NATIVE MAX EXT) through TPassThroughDevice::ExecuteCommand and straight to the
// backend's Execute. Two backends: the simulated one (the device's work included, as in the
// engine's tests), and one that completes every command at once, so that what remains is the
// engine's own work: the checks, the task file, the data buffer, the results.
#include "ata/PassThroughDevice.h"
#include "sim/SimIde.h"
#include "sim/SimPassThrough.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace zkv {
namespace {

constexpr std::uint64_t kSectors = 1ULL << 20;

// Completes every command at once, as a device that answers in no time would.
class InstantPassThrough final : public AtaPassThrough {
public:
    AtaPassThroughResult Execute(const AtaPassThroughCommand& cmd) override {
        AtaPassThroughResult r;
        r.outcome = AtaPassThroughResult::Outcome::Completed;
        r.transferred = cmd.data.size();
        if (cmd.protocol == PassThroughProtocol::NonData) {
            r.sense.hasRegisters = true;
            r.sense.regs.status = 0x50;
        }
        return r;
    }
    bool ResetDevice(std::string&) override { return true; }
};

struct Lab {
    explicit Lab(bool simulated) {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = kSectors;
        cfg.channels.push_back(ch);
        hw = std::make_unique<SimIdeHardware>(cfg);
        if (simulated)
            backend = std::make_unique<SimPassThrough>(*hw, 0, false);
        else
            backend = std::make_unique<InstantPassThrough>();
        dev = std::make_unique<TPassThroughDevice>(*backend, hw->Clock(), globals, flags);
        data.resize(256 * 512);
    }

    // The record as the technician's batch sends it (the buffer is the record's own).
    void Record(AtaCommandRecord& r, std::uint64_t lba, int sectors) const {
        r.CR = sectors ? 0x24 : 0x27;
        r.Protocol = sectors ? PR_PIO_READ : PR_NO_DATA;
        r.Flags = RESETENABLE | READREGS | EXTADDR;
        r.Time = 10000;
        r.SC = static_cast<std::uint8_t>(sectors);
        r.SC1 = static_cast<std::uint8_t>(sectors >> 8);
        r.SN = static_cast<std::uint8_t>(lba);
        r.CL = static_cast<std::uint8_t>(lba >> 8);
        r.CH = static_cast<std::uint8_t>(lba >> 16);
        r.SN1 = static_cast<std::uint8_t>(lba >> 24);
        r.DH = 0xE0;
        r.DataLen = sectors * 512;
        r.Buffer.resize(static_cast<std::size_t>(sectors) * 512);
    }

    // The same command as the backend receives it from the engine.
    AtaPassThroughCommand Command(std::uint64_t lba, int sectors) {
        AtaPassThroughCommand c;
        c.ext = true;
        c.regs.command = sectors ? 0x24 : 0x27;
        c.regs.count = static_cast<std::uint8_t>(sectors);
        c.regs.countPrev = static_cast<std::uint8_t>(sectors >> 8);
        c.regs.lbaLow = static_cast<std::uint8_t>(lba);
        c.regs.lbaMid = static_cast<std::uint8_t>(lba >> 8);
        c.regs.lbaHigh = static_cast<std::uint8_t>(lba >> 16);
        c.regs.lbaLowPrev = static_cast<std::uint8_t>(lba >> 24);
        c.regs.device = 0xE0;
        c.protocol = sectors ? PassThroughProtocol::PioDataIn : PassThroughProtocol::NonData;
        c.direction = sectors ? PassThroughDirection::In : PassThroughDirection::None;
        c.data = std::span<std::uint8_t>(data.data(), static_cast<std::size_t>(sectors) * 512);
        c.timeoutMs = 10000 + TPassThroughDevice::kTimeoutMarginMs;
        return c;
    }

    AtaGlobals globals;
    SharedFlags flags;
    std::unique_ptr<SimIdeHardware> hw;
    std::unique_ptr<AtaPassThrough> backend;
    std::unique_ptr<TPassThroughDevice> dev;
    std::vector<std::uint8_t> data;
};

std::uint64_t Lba(std::uint64_t n) {
    return (n * 256) % (kSectors - 256);
}

void Report(benchmark::State& state, std::uint64_t commands, int sectors) {
    state.SetItemsProcessed(static_cast<std::int64_t>(commands));
    state.SetBytesProcessed(static_cast<std::int64_t>(commands) * sectors * 512);
}

// range(0): sectors per command (0: READ NATIVE MAX EXT); range(1): 1 for the simulated backend.
void BM_Engine(benchmark::State& state) {
    const int sectors = static_cast<int>(state.range(0));
    Lab lab(state.range(1) != 0);
    AtaCommandRecord r;
    std::uint64_t n = 0;
    for (auto _ : state) {
        lab.Record(r, Lba(n++), sectors);
        lab.dev->ExecuteCommand(r);
        if (r.Result != ATA_OK)
            state.SkipWithError("the command failed");
        benchmark::DoNotOptimize(r.Buffer.data());
    }
    Report(state, n, sectors);
}

void BM_Backend(benchmark::State& state) {
    const int sectors = static_cast<int>(state.range(0));
    Lab lab(state.range(1) != 0);
    std::uint64_t n = 0;
    for (auto _ : state) {
        AtaPassThroughResult res = lab.backend->Execute(lab.Command(Lba(n++), sectors));
        if (res.outcome != AtaPassThroughResult::Outcome::Completed)
            state.SkipWithError("the command failed");
        benchmark::DoNotOptimize(lab.data.data());
    }
    Report(state, n, sectors);
}

void Args(benchmark::internal::Benchmark* b) {
    b->ArgNames({"sectors", "sim"});
    for (int sim : {0, 1})
        for (int sectors : {0, 1, 256})
            b->Args({sectors, sim});
    b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Backend)->Apply(Args);
BENCHMARK(BM_Engine)->Apply(Args);

} // namespace
} // namespace zkv

BENCHMARK_MAIN();
