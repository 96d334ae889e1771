// The vendor RAM-read protocols: one vendor command per unit of controller memory, with the
// address carried in the task-file registers and the unit read from a register port.
#include "ata/HDCDevice.h"

#include <algorithm>
#include <string>

namespace zkv {

struct THDCDevice::VendorSpec {
    const char* name;
    bool (*ready)(std::uint8_t sr);
    bool writeData; // the Data word goes to the data port before the task file
};

namespace {

bool IdleReady(std::uint8_t sr) {
    return ata::Idle(sr);
}
bool DrqReady(std::uint8_t sr) {
    return ata::DataRequest(sr);
}

} // namespace

// The common frame; the address layout, the data port and the unit come from `v` through the
// three callbacks below, selected by protocol.
int THDCDevice::RunVendor(AtaCommandRecord& rec, std::int32_t T, std::int32_t L,
                          const VendorSpec& v) {
    LogText(rec, v.name);
    const std::uint64_t start = clock_.Now();
    const int protocol = rec.Protocol;

    // Unit size in bytes and address step, and the port the unit is read from.
    int unit = 1;
    std::uint32_t step = 1;
    std::int32_t dataPort = scPort_;
    std::uint32_t A = 0;
    switch (protocol) {
    case PR_REG_RD_TOSH_RAM:
        A = (std::uint32_t{rec.SN} << 16) | (std::uint32_t{rec.CH} << 8) | rec.CL;
        dataPort = scPort_;
        break;
    case PR_REG_RD_FUJMPG_RAM:
        A = (std::uint32_t{rec.CH} << 16) | (std::uint32_t{rec.CL} << 8) | rec.SN;
        dataPort = clPort_;
        if (rec.DH == 1) {
            unit = 1;
            step = 2;
        } else if (rec.DH == 2) {
            unit = 2;
            step = 3;
        } else {
            rec.Result = ATA_ERROR;
            return kVendorBadExit;
        }
        break;
    case PR_REG_RD_FUJMHT_RAM:
        A = (std::uint32_t{rec.CH} << 24) | (std::uint32_t{rec.CL} << 16) |
            (std::uint32_t{rec.SN} << 8) | rec.SC;
        dataPort = scPort_;
        if (rec.DH == 0) {
            unit = 1;
            step = 1;
        } else if (rec.DH == 1) {
            unit = 2;
            step = 3;
        } else if (rec.DH == 2) {
            unit = 4;
            step = 4;
        } else {
            rec.Result = ATA_ERROR;
            return kVendorBadExit;
        }
        break;
    default: // IBM
        // The Data word carries address bits 16-31, the same bits it is written back from.
        A = (std::uint32_t{rec.Data} << 16) | (std::uint32_t{rec.CH} << 8) | rec.CL;
        dataPort = erPort_;
        unit = 2;
        step = 3;
        break;
    }

    // Never past the buffer, and never a partial unit at the end.
    std::int64_t remaining =
        std::clamp<std::int64_t>(L, 0, static_cast<std::int64_t>(rec.Buffer.size()));
    while (remaining >= unit) {
        switch (protocol) {
        case PR_REG_RD_TOSH_RAM:
            rec.CL = static_cast<std::uint8_t>(A);
            rec.CH = static_cast<std::uint8_t>(A >> 8);
            rec.SN = static_cast<std::uint8_t>(A >> 16);
            break;
        case PR_REG_RD_FUJMPG_RAM:
            rec.SN = static_cast<std::uint8_t>(A);
            rec.CL = static_cast<std::uint8_t>(A >> 8);
            rec.CH = static_cast<std::uint8_t>(A >> 16);
            break;
        case PR_REG_RD_FUJMHT_RAM:
            rec.SC = static_cast<std::uint8_t>(A);
            rec.SN = static_cast<std::uint8_t>(A >> 8);
            rec.CL = static_cast<std::uint8_t>(A >> 16);
            rec.CH = static_cast<std::uint8_t>(A >> 24);
            break;
        default:
            rec.CL = static_cast<std::uint8_t>(A);
            rec.CH = static_cast<std::uint8_t>(A >> 8);
            rec.Data = static_cast<std::uint16_t>(A >> 16);
            break;
        }
        if (v.writeData)
            port_.WriteWord(P(cmdBase_), rec.Data);
        WriteTaskFile(rec);
        Settle(2);
        for (;;) {
            std::uint8_t sr = PollStatus(rec);
            if (ata::Error(sr)) {
                rec.ER = In8(erPort_);
                LogText(rec, "error");
                LogByte(rec, "ER", rec.ER);
                rec.Result = ATA_DEVICE_ERROR;
                rec.Time = Elapsed(start);
                if (rec.ER & ata::ER_ABRT) {
                    if (!rec.Has(IGNOREERRORS))
                        globals_.FailureStreak = 7;
                    return kVendorBadExit;
                }
                return kVendorEnd;
            }
            if (v.ready(sr))
                break;
            rec.Time = Elapsed(start);
            if (AbortRaised(rec))
                return kVendorBadExit;
            if (rec.Time >= T) {
                rec.Result = ATA_TIMEOUT;
                LogText(rec, std::string(v.name) + " timeout error");
                return kVendorFinalWait;
            }
        }
        std::uint8_t* dst = rec.Buffer.data() + rec.DataLen;
        std::uint32_t value = 0;
        if (unit == 1)
            value = port_.ReadByte(P(dataPort)) & 0xFF;
        else if (unit == 2)
            value = port_.ReadWord(P(dataPort));
        else
            value = port_.ReadDWord(P(dataPort));
        for (int i = 0; i < unit; ++i)
            dst[i] = static_cast<std::uint8_t>(value >> (8 * i));
        rec.DataLen += unit;
        remaining -= unit;
        A += step;
    }
    rec.Time = Elapsed(start);
    rec.Result = ATA_OK;
    return kVendorFinalWait;
}

int THDCDevice::DoToshCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    static const VendorSpec v{"DoToshCommand", IdleReady, false};
    return RunVendor(rec, T, L, v);
}
int THDCDevice::DoFujMPGCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    static const VendorSpec v{"DoFujMPGCommand", DrqReady, false};
    return RunVendor(rec, T, L, v);
}
int THDCDevice::DoFujMHTCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    static const VendorSpec v{"DoFujMHTCommand", DrqReady, false};
    return RunVendor(rec, T, L, v);
}
int THDCDevice::DoIBMCommand(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    static const VendorSpec v{"DoIBMCommand", DrqReady, true};
    return RunVendor(rec, T, L, v);
}

} // namespace zkv
