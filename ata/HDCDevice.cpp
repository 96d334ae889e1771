// THDCDevice, the channel itself: the port map built from the two I/O ranges, device selection,
// the status and register read-back, the presence probe, the channel reset, the per-command trace
// and the small waits every protocol shares. The command engine lives in HDCCommand.cpp, the
// data phases in HDCPio.cpp, identification in Identify.cpp and the vendor RAM reads in
// Vendor.cpp.
#include "ata/HDCDevice.h"

#include <string>

namespace zkv {

AtaGlobals& AtaGlobals::Instance() {
    static AtaGlobals globals;
    return globals;
}

THDCDevice::THDCDevice(TSmallPort& port, TimeBase& clock, std::vector<IoRange> ranges,
                       AtaGlobals& globals, SharedFlags& flags)
    : port_(port), clock_(clock), tv_(ComputeTimeValues(clock.TicksPerSecond())), globals_(globals),
      flags_(flags) {
    className_ = "THDCDevice";
    version_ = 1;
    ranges_ = std::move(ranges);
    InitPorts(0);
}

THDCDevice::THDCDevice(TSmallPort& port, TimeBase& clock, IDeviceSetup* setup,
                       const DeviceSetupEntry& e, std::int32_t index, AtaGlobals& globals,
                       SharedFlags& flags)
    : port_(port), clock_(clock), tv_(ComputeTimeValues(clock.TicksPerSecond())), globals_(globals),
      flags_(flags) {
    className_ = "THDCDevice";
    version_ = 1;
    Init(setup, e, index);
    InitPorts(0);
}

int THDCDevice::InitPorts(int mode) {
    if (mode != 0 || ranges_.size() != 2)
        return 1;
    std::int32_t cmd = static_cast<std::int32_t>(ranges_[0].start);
    std::uint32_t ctl = ranges_[1].start;
    cmdBase_ = cmd;
    erPort_ = cmd + 1;
    frPort_ = cmd + 1;
    scPort_ = cmd + 2;
    snPort_ = cmd + 3;
    clPort_ = cmd + 4;
    chPort_ = cmd + 5;
    dhPort_ = cmd + 6;
    srPort_ = cmd + 7;
    crPort_ = cmd + 7;
    acPort_ = ctl;
    dcPort_ = ctl;
    portsKnown_ = true;
    return 0;
}

std::array<std::uint32_t, 12> THDCDevice::PortList() const {
    auto u = [](std::int32_t v) { return static_cast<std::uint32_t>(v); };
    return {u(cmdBase_), u(erPort_), u(frPort_), u(scPort_), u(snPort_), u(clPort_),
            u(chPort_),  u(dhPort_), u(srPort_), u(crPort_), acPort_,    dcPort_};
}

void THDCDevice::ApplySelectBit(AtaCommandRecord& rec) const {
    if (master_)
        rec.DH &= static_cast<std::uint8_t>(~0x10);
    else
        rec.DH |= 0x10;
}

void THDCDevice::SelectDevice() {
    if (portsKnown_)
        Out8(dhPort_, master_ ? 0xE0 : 0xF0);
}

void THDCDevice::ReadStatus(AtaCommandRecord& rec) {
    if (!portsKnown_) {
        rec.Result = ATA_ERROR;
        return;
    }
    rec.ER = In8(erPort_);
    rec.SR = In8(srPort_);
    rec.Result = ATA_OK;
}

bool THDCDevice::ReadAllRegs(AtaCommandRecord& rec) {
    rec.ER = In8(erPort_);
    rec.SC = In8(scPort_);
    rec.SN = In8(snPort_);
    rec.CL = In8(clPort_);
    rec.CH = In8(chPort_);
    rec.DH = In8(dhPort_);
    rec.SR = In8(srPort_);
    if (rec.Has(EXTADDR)) {
        Out8(static_cast<std::int32_t>(dcPort_), 0x80);
        rec.SC1 = In8(scPort_);
        rec.SN1 = In8(snPort_);
        rec.CL1 = In8(clPort_);
        rec.CH1 = In8(chPort_);
    }
    return true;
}

void THDCDevice::WriteTaskFile(const AtaCommandRecord& rec) {
    Out8(frPort_, rec.FR);
    Out8(scPort_, rec.SC);
    Out8(snPort_, rec.SN);
    Out8(clPort_, rec.CL);
    Out8(chPort_, rec.CH);
    Out8(dhPort_, rec.DH);
    Out8(crPort_, rec.CR);
}

void THDCDevice::ProbeDevice(AtaCommandRecord& rec) {
    if (!portsKnown_) {
        rec.Result = ATA_ERROR;
        return;
    }
    ApplySelectBit(rec);
    Out8(dhPort_, rec.DH);
    for (int v = 0x55; v <= 0x64; ++v) {
        auto b = static_cast<std::uint8_t>(v);
        Out8(scPort_, b);
        Out8(snPort_, b);
        Out8(chPort_, b);
        Out8(clPort_, b);
        clock_.SleepMs(20);
        rec.SC = In8(scPort_);
        rec.SN = In8(snPort_);
        rec.CL = In8(clPort_);
        rec.CH = In8(chPort_);
        if (rec.SC == 0x80 && rec.SN == 0x80 && rec.CL == 0x80 && rec.CH == 0x80) {
            rec.Result = ATA_OK;
            return;
        }
        if (rec.SC != b || rec.SN != b || rec.CL != b || rec.CH != b) {
            rec.Result = ATA_DEVICE_ERROR;
            return;
        }
    }
    rec.Result = ATA_OK;
}

// ---- trace -------------------------------------------------------------------------------

void THDCDevice::LogText(const AtaCommandRecord& rec, std::string_view text) {
    if (!rec.Has(WRITELOG))
        return;
    log_.AddText(text);
    lastLogValueOpen_ = false;
}

void THDCDevice::LogByte(const AtaCommandRecord& rec, std::string_view name, std::uint8_t v) {
    if (!rec.Has(WRITELOG))
        return;
    // A run holds the successive values of one register only.
    if (!lastLogValueOpen_ || lastLogName_ != name)
        log_.CloseRun();
    log_.AddValue8(name, v);
    lastLogValueOpen_ = true;
    lastLogName_.assign(name);
}

void THDCDevice::LogWord(const AtaCommandRecord& rec, std::string_view name, std::uint16_t v) {
    if (!rec.Has(WRITELOG))
        return;
    if (!lastLogValueOpen_ || lastLogName_ != name)
        log_.CloseRun();
    log_.AddValue16(name, v);
    lastLogValueOpen_ = true;
    lastLogName_.assign(name);
}

void THDCDevice::TraceCommand(const AtaCommandRecord& r) {
    if (!r.Has(WRITELOG))
        return;
    lastLogValueOpen_ = false;
    LogText(r, "Command data");
    LogWord(r, "Data", r.Data);
    LogByte(r, "FR", r.FR);
    LogByte(r, "SC", r.SC);
    LogByte(r, "SN", r.SN);
    LogByte(r, "CL", r.CL);
    LogByte(r, "CH", r.CH);
    LogByte(r, "DH", r.DH);
    LogByte(r, "CR", r.CR);
    if (r.Has(EXTADDR)) {
        LogByte(r, "FR1", r.FR1);
        LogByte(r, "SC1", r.SC1);
        LogByte(r, "SN1", r.SN1);
        LogByte(r, "CL1", r.CL1);
        LogByte(r, "CH1", r.CH1);
    } else {
        LogText(r, "not EXTADDR");
    }
    LogText(r, "Flags " + HexDigits(r.Flags, 8));
    LogText(r, "Protocol " + std::to_string(r.Protocol));
    LogText(r, "Time " + std::to_string(r.Time));
    LogText(r, "DataLen " + std::to_string(r.DataLen));
    LogText(r, "Tag " + HexDigits(r.Tag, 8));
    LogText(r, "RepeatCnt " + std::to_string(r.RepeatCnt));
}

// ---- small waits -------------------------------------------------------------------------

void THDCDevice::Settle(int times) {
    clock_.Spin(static_cast<std::uint64_t>(tv_.ticksPer400ns) * static_cast<std::uint64_t>(times));
}

std::uint8_t THDCDevice::PollStatus(AtaCommandRecord& rec) {
    rec.SR = In8(srPort_);
    LogByte(rec, "SR", rec.SR);
    return rec.SR;
}

bool THDCDevice::AbortRaised(AtaCommandRecord& rec) {
    if (!watchAbort_ || !flags_.AbortRequest())
        return false;
    rec.Result = ATA_ABORT;
    LogText(rec, "Abort request");
    return true;
}

// ---- reset and features ------------------------------------------------------------------

void THDCDevice::ResetDevice(AtaCommandRecord& rec) {
    rec.SR = In8(srPort_);
    const std::int32_t T = rec.Time;
    rec.Time = 0;
    ApplySelectBit(rec);
    if (!rec.Has(NOREADYDRSC) && rec.SR == 0) {
        AtaCommandRecord probe;
        probe.DH = master_ ? 0xE0 : 0xF0;
        ProbeDevice(probe);
        if (probe.Result != ATA_OK) {
            rec.Result = ATA_NO_DEVICE;
            return;
        }
    }
    Out8(static_cast<std::int32_t>(dcPort_), 0x04);
    clock_.SleepMs(10);
    Out8(static_cast<std::int32_t>(dcPort_), 0x00);
    const std::uint64_t start = clock_.Now();
    for (;;) {
        Out8(dhPort_, rec.DH);
        clock_.SleepMs(10);
        rec.SR = In8(srPort_);
        if (rec.Has(NOREADYDRSC)) {
            if (ata::NotBusy(rec.SR)) {
                rec.Result = ATA_OK;
                break;
            }
        } else {
            if (ata::Error(rec.SR)) {
                rec.Result = ATA_DEVICE_ERROR;
                break;
            }
            if (rec.SR == 0x50) {
                rec.Result = ATA_OK;
                break;
            }
            // A packet device ends its reset with BSY clear and its signature in CL/CH; it
            // does not set DRDY, so waiting for 0x50 would only run out the time-out.
            if (ata::NotBusy(rec.SR) && In8(clPort_) == 0x14 && In8(chPort_) == 0xEB) {
                rec.Result = ATA_OK;
                break;
            }
        }
        if (watchAbort_ && flags_.AbortRequest()) {
            rec.Result = ATA_ABORT;
            break;
        }
        rec.Time = Elapsed(start);
        if (rec.Time >= T) {
            globals_.fCriticalATAError = true;
            rec.Result = ATA_TIMEOUT;
            break;
        }
    }
    if (rec.Has(READREGS)) {
        rec.Time = Elapsed(start);
        ReadAllRegs(rec);
    }
}

} // namespace zkv
