// Instructions of 1000 READ VERIFY blocks of 256 sectors on the simulated drive, measured by
// callgrind: as bare engine commands ("bare_verify") and as a whole surface scan ("scan"),
// thread, slices, view model and results packets included (see callgrind-scan.sh).
#include "sim/SimIde.h"
#include "tools/ScanService.h"

#include <cstdio>
#include <valgrind/callgrind.h>

namespace {

using namespace zkv;

constexpr int kBlocks = 1000;

class NullLink final : public ITechnicianLink {
public:
    void ApplyReplyRouting() override {}
    bool SendToTechnician(CommandCode, std::span<const std::uint8_t> data) override {
        bytes += data.size();
        return true;
    }
    bool TechnicianAttached() const override { return true; }
    std::int32_t CurrentSender() const override { return 0; }
    std::size_t bytes = 0;
};

struct Drive {
    Drive() : hw(Config()), dev(hw, hw.Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags) {
        DriveInfo info;
        dev.SelectDevice();
        dev.IdentifyDevice(info);
    }
    static SimHardwareConfig Config() {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        cfg.channels.push_back(ch);
        return cfg;
    }
    SimIdeHardware hw;
    AtaGlobals globals;
    SharedFlags flags;
    THDCDevice dev;
};

} // namespace

int main() {
    {
        Drive d;
        AtaCommandRecord rec;
        rec.Buffer.assign(1024, 0);
        auto verify = [&](int i) {
            BuildScanCommand(rec, ScanStep::Verify, std::int64_t{i} * 256, 256, 0, 1, 2000);
            d.dev.ExecuteCommand(rec);
            return rec.Result;
        };
        verify(0);
        CALLGRIND_ZERO_STATS;
        CALLGRIND_START_INSTRUMENTATION;
        int bad = 0;
        for (int i = 0; i < kBlocks; ++i)
            bad += verify(i) != 0;
        CALLGRIND_STOP_INSTRUMENTATION;
        CALLGRIND_DUMP_STATS_AT("bare_verify");
        std::printf("bare: %d failed\n", bad);
    }
    {
        Drive d;
        NullLink link;
        DirectMainThread main;
        ScanService service([&] { return &d.dev; }, &link, main);
        ScanSurfaceParams p;
        p.count = kBlocks * 256;
        p.timeout = {5, 10, 20, 50, 150, 500};
        p.commandTimeout = 2000;
        p.attempts = 1;
        p.sliceMs = 1; // many slices: the hand-over cost counts
        auto bytes = p.Encode();
        CALLGRIND_ZERO_STATS;
        CALLGRIND_START_INSTRUMENTATION;
        service.StartScan(bytes, 1);
        service.WaitForEnd();
        CALLGRIND_STOP_INSTRUMENTATION;
        CALLGRIND_DUMP_STATS_AT("scan");
        std::printf("scan: %zu bytes sent, %llu slices\n", link.bytes,
                    static_cast<unsigned long long>(service.Model().Batches()));
    }
    return 0;
}
