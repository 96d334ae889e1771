// One 256-sector PR_PIO_READ on the simulated drive, measured by callgrind between the two
// instrumentation markers (see callgrind-pio-read.sh).
#include "ata/HDCDevice.h"
#include "sim/SimIde.h"

#include <cstdio>
#include <valgrind/callgrind.h>

int main() {
    using namespace zkv;
    SimHardwareConfig cfg;
    SimChannelConfig ch;
    ch.master.type = SimDeviceConfig::Type::Disk;
    cfg.channels.push_back(ch);
    SimIdeHardware hw(cfg);
    AtaGlobals globals;
    SharedFlags flags;
    THDCDevice dev(hw, hw.Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);
    auto read = [&] {
        AtaCommandRecord r;
        r.DH = 0xE0;
        r.CR = 0x20;
        r.SC = 0; // 256 sectors
        r.Protocol = PR_PIO_READ;
        r.Flags = RESETENABLE | READREGS;
        r.Time = 10000;
        r.DataLen = 256 * 512;
        r.Buffer.assign(256 * 512, 0);
        dev.ExecuteCommand(r);
        return r.Result;
    };
    read(); // warm up: first touches of the sparse store and the allocator
    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
    int result = read();
    CALLGRIND_STOP_INSTRUMENTATION;
    CALLGRIND_DUMP_STATS_AT("pio_read_256");
    std::printf("result %d\n", result);
    return result;
}
