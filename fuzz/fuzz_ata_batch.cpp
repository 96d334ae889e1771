// Any batch body run by the ATA worker's socket on a simulated disk: every item must be
// answered within its bounds, whatever the lengths, protocols and codes say.
#include "ata/AtaThread.h"
#include "fuzz/FuzzAta.h"
#include "sim/SimIde.h"
#include "support/ByteOrder.h"

#include <cstdlib>

using namespace zkv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SimIdeHardware* hw = [] {
        SimHardwareConfig cfg;
        SimChannelConfig ch;
        ch.master.type = SimDeviceConfig::Type::Disk;
        ch.master.sectors = 1 << 16;
        ch.master.defects = {{3, SimDefectKind::UNC}, {4, SimDefectKind::ABRT}};
        cfg.channels.push_back(ch);
        return new SimIdeHardware(cfg, CheapTimings());
    }();
    static AtaGlobals globals;
    static SharedFlags flags;
    flags.SetDeviceReady();
    static THDCDevice dev(*hw, hw->Clock(), {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}, globals, flags);
    static DirectMainThread main;
    static ATASocket socket([] { return &dev; }, main, globals, flags);

    PacketRecord request;
    request.body.assign(data, data + size);
    request.header.plainLength = static_cast<std::int32_t>(size);
    request.header.flags = kPacketFlagAta;
    // Keep every wait short and every repetition count small: the paths stay the same.
    for (std::size_t at = 4; at + kItemHeaderSize <= request.body.size();) {
        std::uint8_t* item = request.body.data() + at;
        const std::int32_t code = GetI32(item);
        const std::int32_t len = GetI32(item + 4);
        if (len < 0 || static_cast<std::size_t>(len) > request.body.size() - at - kItemHeaderSize)
            break;
        std::uint8_t* rec = item + kItemHeaderSize;
        if (code == CMD_ATA_COMMAND && len >= static_cast<std::int32_t>(AtaCommandRecord::kSize)) {
            AtaCommandRecord r;
            r.DecodeFrom(rec);
            KeepCheap(r);
            r.RepeatCnt &= 3;
            r.EncodeTo(rec);
        }
        at += kItemHeaderSize + static_cast<std::size_t>(len);
    }
    socket.ProcessBatch(request, {}, {});
    PacketRecord reply;
    socket.FinishReply(reply);
    // One reply item per request item, in order; an answered drive command carries a record.
    PacketConverter requests(request);
    PacketConverter replies(reply);
    if (replies.Count() != requests.Count())
        std::abort();
    for (std::size_t i = 0; i < replies.Count(); ++i) {
        const std::int32_t code = requests.Item(i)->code;
        const ItemRecord* it = replies.Item(i);
        if ((code == CMD_ATA_COMMAND || code == CMD_ATA_GET_STATUS || code == CMD_ATA_RESET) &&
            it->code == COMMAND_OK &&
            it->dataLength < static_cast<std::int32_t>(AtaCommandRecord::kSize))
            std::abort();
    }
    return 0;
}
