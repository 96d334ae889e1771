// Any 47-byte record, with any trailing data, run by the engine against a simulated disk and CD:
// the engine must stay inside its buffers and the trace inside its 10240 bytes.
#include "ata/HDCDevice.h"
#include "fuzz/FuzzAta.h"
#include "sim/SimIde.h"

#include <cstdlib>
#include <cstring>

using namespace zkv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < AtaCommandRecord::kSize + 1)
        return 0;
    static SimIdeHardware* hw = [] {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = 1 << 16;
        ch.master.defects = {{3, SimDefectKind::UNC}, {4, SimDefectKind::ABRT}};
        ch.master.ram.assign(1024, 0x5A);
        ch.slave.type = SimDeviceConfig::Type::Packet;
        cfg.channels.push_back(ch);
        return new SimIdeHardware(cfg, CheapTimings());
    }();
    static AtaGlobals globals;
    static SharedFlags flags;
    static THDCDevice dev(*hw, hw->Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);

    const std::uint8_t control = data[0];
    AtaCommandRecord rec;
    rec.DecodeFrom(data + 1);
    KeepCheap(rec);
    rec.Flags &= ~static_cast<std::uint32_t>(RESETENABLE) | ((control & 1) ? 0xFFFFFFFFu : 0u);
    std::span<const std::uint8_t> trailing(data + 1 + AtaCommandRecord::kSize,
                                           size - 1 - AtaCommandRecord::kSize);
    if (!PrepareCommandBuffer(rec, trailing))
        return 0;
    dev.SetMaster((control & 2) == 0);
    dev.SetPendingWords((control >> 2) * 8);
    globals.fCriticalATAError = (control & 0x80) != 0;
    std::vector<std::uint8_t> trace(10240);
    dev.Log().Attach(rec.Has(WRITELOG) ? trace.data() : nullptr, 10240);
    dev.ExecuteCommand(rec);
    if (rec.DataLen < 0 || static_cast<std::size_t>(rec.DataLen) > rec.Buffer.size() ||
        dev.Log().BytesUsed() > 10240)
        std::abort();
    return 0;
}
