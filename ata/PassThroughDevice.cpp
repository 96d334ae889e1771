#include "ata/PassThroughDevice.h"

#include "protocol/Vocabulary.h"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

namespace zkv {
namespace {

constexpr std::uint8_t kCheckPowerMode = 0xE5;

} // namespace

TPassThroughDevice::TPassThroughDevice(AtaPassThrough& pt, TimeBase& clock, AtaGlobals& globals,
                                       SharedFlags& flags)
    : pt_(pt), clock_(clock), tv_(ComputeTimeValues(clock.TicksPerSecond())), globals_(globals),
      flags_(flags) {
    className_ = "TPassThroughDevice";
    version_ = 1;
    Chanals = 1;
}

int TPassThroughDevice::PrepareForRepair(bool& restartNeeded, bool& ok, std::string& message) {
    restartNeeded = false;
    if (setup_ && !Disabled) {
        if (!Disableable) {
            message = kCantDisableMessage;
            return 1;
        }
        if (!ChangeDeviceState(2, restartNeeded)) {
            message = Disableable ? Refusal : kCantDisableMessage;
            return 1;
        }
        Disabled = true;
        disabledByMe_ = true;
    }
    ChosenIndex = Index;
    ok = true;
    return 0;
}

std::int32_t TPassThroughDevice::ElapsedSince(std::uint64_t start) {
    return ElapsedMs(tv_, start, clock_.Now());
}

void TPassThroughDevice::Trace(const AtaCommandRecord& rec, std::string_view text) {
    if (rec.Has(WRITELOG))
        log_.AddText(text);
}

void TPassThroughDevice::Refuse(AtaCommandRecord& rec, std::string why) {
    refusal_ = std::move(why);
    log_.AddText(refusal_);
    rec.Result = ATA_ERROR;
}

std::string TPassThroughDevice::CannotTravel(const AtaCommandRecord& rec) {
    if (rec.Protocol >= PR_REG_RD_TOSH_RAM && rec.Protocol <= PR_REG_RD_IBM_RAM)
        return std::string(ProtocolLogName(rec.Protocol)) +
               " can not travel through ATA pass-through: it reads the data port after the "
               "command";
    if (rec.Protocol == PR_PIO_RD_Q_DRDY || rec.Protocol == PR_PIO_WR_Q_DRDY)
        return std::string(ProtocolLogName(rec.Protocol)) +
               " can not travel through ATA pass-through: its bytes are clocked through the "
               "registers";
    if (rec.Protocol >= kAtaProtocolCount)
        return "protocol " + std::to_string(rec.Protocol) + " is unknown";
    if (rec.Has(QUANTUMCMD) || rec.Has(OLDQUANTUMCMD))
        return "QUANTUMCMD can not travel through ATA pass-through: its parameters are clocked "
               "through the registers";
    if (rec.Has(WRDC))
        return "WRDC can not travel through ATA pass-through: the device-control register is "
               "the kernel's";
    if (rec.Has(WRDATA))
        return "WRDATA can not travel through ATA pass-through: the data port is the kernel's";
    if (rec.Has(NOWRITECOMMAND))
        return "NOWRITECOMMAND can not travel through ATA pass-through: every transfer is a "
               "command of its own";
    return {};
}

void TPassThroughDevice::PutRegisters(AtaCommandRecord& rec, const AtaOutputRegisters& r,
                                      bool all) {
    rec.SR = r.status;
    rec.ER = r.error;
    if (!all)
        return;
    rec.SC = r.count;
    rec.SN = r.lbaLow;
    rec.CL = r.lbaMid;
    rec.CH = r.lbaHigh;
    rec.DH = r.device;
    if (rec.Has(EXTADDR) && r.extend) {
        rec.SC1 = r.countPrev;
        rec.SN1 = r.lbaLowPrev;
        rec.CL1 = r.lbaMidPrev;
        rec.CH1 = r.lbaHighPrev;
    }
}

bool TPassThroughDevice::StatusCommand(AtaOutputRegisters& out, std::string& why) {
    AtaPassThroughCommand c;
    c.regs.command = kCheckPowerMode;
    c.regs.device = 0x40;
    c.timeoutMs = 2000 + kTimeoutMarginMs;
    AtaPassThroughResult r = pt_.Execute(c);
    if (!r.sense.hasRegisters) {
        why = "the status could not be read through ATA pass-through: " + r.detail;
        return false;
    }
    out = r.sense.regs;
    last_ = out;
    lastKnown_ = true;
    return true;
}

void TPassThroughDevice::ReadStatus(AtaCommandRecord& rec) {
    AtaOutputRegisters r;
    std::string why;
    if (!StatusCommand(r, why)) {
        Refuse(rec, why);
        return;
    }
    PutRegisters(rec, r, false);
    rec.Result = ATA_OK;
}

bool TPassThroughDevice::ReadAllRegs(AtaCommandRecord& rec) {
    if (!lastKnown_)
        return false;
    PutRegisters(rec, last_, true);
    return true;
}

void TPassThroughDevice::ProbeDevice(AtaCommandRecord& rec) {
    // There is a device when it answers a command at all.
    AtaOutputRegisters r;
    std::string why;
    rec.Result = StatusCommand(r, why) ? ATA_OK : ATA_NO_DEVICE;
}

void TPassThroughDevice::ExecuteCommand(AtaCommandRecord& rec) {
    refusal_.clear();
    Trace(rec, "Command data");
    Trace(rec, "Pass-through CR " + HexDigits(rec.CR, 2) + " Protocol " +
                   std::to_string(rec.Protocol) + " Time " + std::to_string(rec.Time) +
                   " DataLen " + std::to_string(rec.DataLen));
    const std::int32_t T = rec.Time;
    const std::int32_t L = rec.DataLen;
    rec.Time = 0;
    rec.DataLen = 0;
    const std::uint64_t start = clock_.Now();

    auto badExit = [&] {
        Trace(rec, "BadExit");
        if (!rec.Has(IGNOREERRORS))
            globals_.FailureStreak.fetch_add(1);
    };

    if (!rec.Has(NOREADYDRSC) && globals_.fCriticalATAError) {
        Trace(rec, "Function return FUNCTION_ABORT because fCriticalATAError was set.");
        rec.Result = ATA_ABORT;
        badExit();
        return;
    }
    if (std::string why = CannotTravel(rec); !why.empty()) {
        Refuse(rec, why);
        badExit();
        return;
    }

    AtaPassThroughCommand c;
    c.ext = rec.Has(EXTADDR);
    c.regs = {.feature = rec.FR,
              .count = rec.SC,
              .lbaLow = rec.SN,
              .lbaMid = rec.CL,
              .lbaHigh = rec.CH,
              .device = rec.DH,
              .command = rec.CR,
              .featurePrev = rec.FR1,
              .countPrev = rec.SC1,
              .lbaLowPrev = rec.SN1,
              .lbaMidPrev = rec.CL1,
              .lbaHighPrev = rec.CH1};
    const bool reading = rec.Protocol == PR_PIO_READ || rec.Protocol == PR_PIO_READ_DRDY;
    const bool writing = rec.Protocol == PR_PIO_WRITE;
    std::int64_t want = 0;
    if (reading || writing)
        want = std::clamp<std::int64_t>(L, 0, static_cast<std::int64_t>(rec.Buffer.size()));
    if (want > static_cast<std::int64_t>(kMaxPassThroughData)) {
        Refuse(rec, "DataLen " + std::to_string(want) +
                        " can not travel through ATA pass-through: one command carries at most " +
                        std::to_string(kMaxPassThroughData) + " bytes");
        badExit();
        return;
    }
    std::size_t sectors = static_cast<std::size_t>((want + 511) / 512);
    if (reading && sectors == 0)
        sectors = 1;
    // The transfer goes straight to or from the record's buffer when it holds whole sectors
    // (only DataLen bytes of it count after a read); otherwise through a buffer of its own.
    const std::size_t bytes = sectors * 512;
    std::vector<std::uint8_t> own;
    std::span<std::uint8_t> data;
    if (rec.Buffer.size() >= bytes && (reading || static_cast<std::size_t>(want) == bytes)) {
        data = std::span<std::uint8_t>(rec.Buffer.data(), bytes);
    } else {
        own.assign(bytes, 0);
        if (writing)
            std::copy_n(rec.Buffer.begin(), want, own.begin());
        data = own;
    }
    c.data = data;
    c.protocol = reading   ? PassThroughProtocol::PioDataIn
                 : writing ? PassThroughProtocol::PioDataOut
                           : PassThroughProtocol::NonData;
    c.direction = data.empty() ? PassThroughDirection::None
                  : reading    ? PassThroughDirection::In
                               : PassThroughDirection::Out;
    c.timeoutMs = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(std::int64_t{T} + kTimeoutMarginMs, 1, kMaxPassThroughTimeoutMs));

    AtaPassThroughResult r = pt_.Execute(c);
    rec.Time = ElapsedSince(start);
    if (r.sense.hasRegisters) {
        last_ = r.sense.regs;
        lastKnown_ = true;
    }
    using Outcome = AtaPassThroughResult::Outcome;
    switch (r.outcome) {
    case Outcome::Completed:
        if (r.sense.hasRegisters) {
            PutRegisters(rec, r.sense.regs, rec.Has(READREGS));
        } else {
            rec.SR = 0x50;
            rec.ER = 0x00;
            if (rec.Has(READREGS))
                log_.AddText("READREGS: a PIO data-in command returns no registers through ATA "
                             "pass-through; SR 50h is its completion without error");
        }
        if (reading) {
            auto n = static_cast<std::int32_t>(std::min<std::int64_t>(want, r.transferred));
            if (!own.empty())
                std::copy_n(own.begin(), n, rec.Buffer.begin());
            rec.DataLen = n;
        }
        if (rec.Time > T && T >= 0) {
            rec.Result = ATA_TIMEOUT;
            Trace(rec, "Pass-through timeout error");
            badExit();
            return;
        }
        if (rec.Has(RDAC))
            rec.AC = rec.SR;
        rec.Result = ATA_OK;
        Trace(rec, "GoodExit");
        globals_.FailureStreak = 0;
        return;
    case Outcome::DeviceError:
        // DataLen stays 0: how much of a failed transfer arrived is not known.
        if (r.sense.hasRegisters)
            PutRegisters(rec, r.sense.regs, rec.Has(READREGS));
        Trace(rec, "error");
        rec.Result = ATA_DEVICE_ERROR;
        if (rec.Has(RDAC))
            rec.AC = rec.SR;
        if ((rec.SR & ata::ERR) && (rec.ER & ata::ER_ABRT) && !rec.Has(IGNOREERRORS))
            globals_.FailureStreak = 7;
        badExit();
        return;
    case Outcome::TimedOut:
        rec.Result = ATA_TIMEOUT;
        log_.AddText("Pass-through timeout error: " + r.detail);
        badExit();
        return;
    case Outcome::Refused:
        Refuse(rec, "CR " + HexDigits(rec.CR, 2) +
                        " can not travel through ATA pass-through: " + r.detail);
        badExit();
        return;
    case Outcome::Failed:
        Refuse(rec, "ATA pass-through failed: " + r.detail);
        badExit();
        return;
    }
}

void TPassThroughDevice::ResetDevice(AtaCommandRecord& rec) {
    const std::uint64_t start = clock_.Now();
    rec.Time = 0;
    std::string why;
    if (!pt_.ResetDevice(why)) {
        Refuse(rec, "The pass-through reset failed: " + why);
        return;
    }
    AtaOutputRegisters r;
    if (!StatusCommand(r, why)) {
        Refuse(rec, why);
        return;
    }
    rec.Time = ElapsedSince(start);
    PutRegisters(rec, r, rec.Has(READREGS));
    rec.Result = ata::Error(r.status) ? ATA_DEVICE_ERROR : ATA_OK;
}

void TPassThroughDevice::SetFeatures(AtaCommandRecord& rec, std::uint8_t subcommand) {
    rec = AtaCommandRecord{};
    rec.DH = 0xA0;
    rec.CR = 0xEF;
    rec.FR = subcommand;
    rec.Flags = RESETENABLE | READREGS;
    rec.Protocol = PR_NO_DATA;
    rec.Time = 200;
    ExecuteCommand(rec);
}

int TPassThroughDevice::IdentifyDevice(DriveInfo& info) {
    AtaCommandRecord rec;
    rec.DH = 0xA0;
    rec.CR = 0xEC;
    rec.SC = 1;
    rec.Flags = RESETENABLE;
    rec.Protocol = PR_PIO_READ;
    rec.DataLen = 512;
    rec.Buffer.assign(512, 0);
    rec.Time = 200;
    rec.RepeatCnt = 1;
    ExecuteCommand(rec);
    if (rec.Result != ATA_OK)
        return rec.Result;
    if (rec.DataLen < 512) {
        info.kind = KIND_ATA_REJECTED;
        return ATA_OK;
    }
    TakeIdentifyDevice(std::span<const std::uint8_t, 512>(rec.Buffer.data(), 512),
                       globals_.CurrentId, info);
    return ATA_OK;
}

int TPassThroughDevice::IdentifyPacketDevice(DriveInfo& info) {
    AtaCommandRecord rec;
    rec.DH = 0xA0;
    rec.CR = 0xA1;
    rec.SC = 1;
    rec.Flags = NOREADYDRSC;
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

int TPassThroughDevice::DetectDevices() {
    master_ = true;
    masterInfo_.Clear();
    slaveInfo_.Clear();
    AtaCommandRecord probe;
    ProbeDevice(probe);
    if (probe.Result != ATA_OK)
        return 0;
    masterInfo_.kind = KIND_ANSWERED;
    if (IdentifyDevice(masterInfo_) != ATA_OK)
        IdentifyPacketDevice(masterInfo_);
    return 0;
}

} // namespace zkv
