// Identification of the two positions of a channel.
#include "ata/HDCDevice.h"

namespace zkv {

int THDCDevice::IdentifyDevice(DriveInfo& info) {
    AtaCommandRecord rec;
    rec.DH = 0xA0;
    rec.CR = 0xEC;
    rec.Flags = RESETENABLE | READREGS;
    rec.Protocol = PR_PIO_READ;
    rec.DataLen = 512;
    rec.Buffer.assign(512, 0);
    rec.Time = 200;
    rec.RepeatCnt = 1;
    ExecuteCommand(rec);
    if (rec.Result != ATA_OK)
        return rec.Result;
    // The drive decides how much it sends; only a full block is IDENTIFY data.
    if (rec.Buffer.size() < 512) {
        info.kind = KIND_ATA_REJECTED;
        return ATA_OK;
    }
    TakeIdentifyDevice(std::span<const std::uint8_t, 512>(rec.Buffer.data(), 512),
                       globals_.CurrentId, info);
    return ATA_OK;
}

int THDCDevice::IdentifyPacketDevice(DriveInfo& info) {
    AtaCommandRecord rec;
    rec.DH = 0xA0;
    rec.CR = 0xA1;
    // Only BSY counts: a packet device keeps DRDY clear while idle, and after aborting IDENTIFY
    // DEVICE it shows 0x41 (no DSC), which the strict idle test would wait on until the time-out.
    rec.Flags = READREGS | NOREADYDRSC;
    rec.Protocol = PR_PIO_READ;
    rec.DataLen = 512;
    rec.Buffer.assign(512, 0);
    rec.Time = 2000;
    rec.RepeatCnt = 1;
    ExecuteCommand(rec);
    if (rec.Result != ATA_OK)
        return rec.Result;
    TakeIdentifyPacketDevice(std::span<const std::uint8_t, 512>(rec.Buffer.data(), 512), info);
    return ATA_OK;
}

int THDCDevice::DetectDevices() {
    for (int pos = 0; pos < 2; ++pos) {
        master_ = pos == 0;
        DriveInfo& info = master_ ? masterInfo_ : slaveInfo_;
        SelectDevice();
        info.Clear();
        AtaCommandRecord probe;
        probe.DH = 0xE0;
        ProbeDevice(probe);
        if (probe.Result != ATA_OK)
            continue;
        // With no slave fitted, the master answers for it: the slave's registers read back
        // what was written to them and its status reads 0, which is also how an idle packet
        // device looks. Identifying such a position as a disk would wait out the 40 s reset
        // and report a device that is not there. A packet device answers IDENTIFY PACKET
        // DEVICE; an empty position does not react at all.
        if (!master_ && masterInfo_.kind != 0 && In8(srPort_) == 0 &&
            In8(static_cast<std::int32_t>(acPort_)) == 0) {
            const int r = IdentifyPacketDevice(info);
            if (r == ATA_OK)
                continue;
            info.Clear();
            if (r == ATA_TIMEOUT)
                continue;
        }
        info.kind = KIND_ANSWERED;
        if (IdentifyDevice(info) != ATA_OK)
            IdentifyPacketDevice(info);
    }
    // Left on the slave; the caller chooses the position it works on afterwards.
    return 0;
}

} // namespace zkv
