#include "ata/HDCDevice.h"

#include "protocol/Vocabulary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace zkv {
namespace {

std::string Hex2(std::uint8_t v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}
std::string Hex8(std::uint32_t v) {
    char b[12];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

} // namespace

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
    LogText(r, "Flags " + Hex8(r.Flags));
    LogText(r, "Protocol " + std::to_string(r.Protocol));
    LogText(r, "Time " + std::to_string(r.Time));
    LogText(r, "DataLen " + std::to_string(r.DataLen));
    LogText(r, "Tag " + Hex8(r.Tag));
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

// ---- the engine --------------------------------------------------------------------------

void THDCDevice::ExecuteCommand(AtaCommandRecord& rec) {
    TraceCommand(rec);
    ApplySelectBit(rec);

    const std::int32_t T = rec.Time;
    const std::int32_t L = rec.DataLen;
    rec.Time = 0;
    rec.DataLen = 0;
    const bool R = rec.Has(READREGS);
    bool regsRead = false;
    timerStart_ = clock_.Now();

    for (std::int32_t i = 0; i < pendingWords_; ++i)
        port_.ReadWord(P(cmdBase_));

    if (!rec.Has(NOREADYDRSC) && rec.CR == 0xEC) {
        identifyInProgress_ = true;
        if (rec.Protocol == PR_PIO_READ)
            rec.Protocol = PR_PIO_READ_DRDY;
    }

    Next next = Next::Proceed;
    if (!rec.Has(NOWRITECOMMAND)) {
        LogText(rec, "not NOWRITECOMMAND");
        next = BusCheck(rec, T);
        if (next == Next::Proceed) {
            Out8(dhPort_, rec.DH);
            Settle(1);
            rec.SR = In8(srPort_);
            rec.ER = In8(erPort_);
            next = DeviceCheck(rec, T);
        }
        if (next == Next::Proceed) {
            int p = rec.Protocol;
            if (p >= PR_REG_RD_TOSH_RAM && p <= PR_REG_RD_IBM_RAM) {
                static constexpr const char* kNames[] = {"Toshiba command", "FujMPG command",
                                                         "FujMHT command", "IBM command"};
                LogText(rec, kNames[p - PR_REG_RD_TOSH_RAM]);
                int answer = 0;
                switch (p) {
                case PR_REG_RD_TOSH_RAM:
                    answer = DoToshCommand(rec, T, L);
                    break;
                case PR_REG_RD_FUJMPG_RAM:
                    answer = DoFujMPGCommand(rec, T, L);
                    break;
                case PR_REG_RD_FUJMHT_RAM:
                    answer = DoFujMHTCommand(rec, T, L);
                    break;
                default:
                    answer = DoIBMCommand(rec, T, L);
                    break;
                }
                next = answer == kVendorEnd         ? Next::End
                       : answer == kVendorFinalWait ? Next::FinalWait
                                                    : Next::Bad;
            } else if (!rec.Has(QUANTUMCMD)) {
                LogText(rec, "Common command");
                if (rec.Has(WRDC)) {
                    LogText(rec, "WRDC");
                    Out8(static_cast<std::int32_t>(dcPort_), rec.DC);
                } else {
                    if (rec.Has(WRDATA)) {
                        LogText(rec, "WRDATA");
                        port_.WriteWord(P(cmdBase_), rec.Data);
                    }
                    if (rec.Has(EXTADDR)) {
                        LogText(rec, "EXTADDR");
                        Out8(frPort_, rec.FR1);
                        Out8(scPort_, rec.SC1);
                        Out8(snPort_, rec.SN1);
                        Out8(clPort_, rec.CL1);
                        Out8(chPort_, rec.CH1);
                    }
                    Out8(frPort_, rec.FR);
                    Out8(scPort_, rec.SC);
                    Out8(snPort_, rec.SN);
                    Out8(clPort_, rec.CL);
                    Out8(chPort_, rec.CH);
                    Out8(dhPort_, rec.DH);
                    Out8(crPort_, rec.CR);
                }
                Settle(2);
            } else {
                next = QuantumCommand(rec, T);
            }
        }
    }

    if (next == Next::Proceed)
        next = DataPhase(rec, T, L);

    if (next == Next::FinalWait) {
        LogText(rec, "LabOut");
        if (!rec.Has(NOREADYDRSC)) {
            for (;;) {
                if (PollStatus(rec) == 0x50)
                    break;
                if (AbortRaised(rec)) {
                    rec.Time = Elapsed(timerStart_);
                    break;
                }
                if (Elapsed(timerStart_) >= T) {
                    rec.Result = ATA_TIMEOUT;
                    LogText(rec, "Common timeout error");
                    break;
                }
            }
        }
        next = Next::End;
    }

    if (next == Next::End) {
        LogText(rec, "LabOut11");
        rec.Time = Elapsed(timerStart_);
        if (rec.Has(RDAC))
            rec.AC = In8(static_cast<std::int32_t>(acPort_));
        if (R) {
            ReadAllRegs(rec);
            regsRead = true;
        }
        if (rec.Result == ATA_OK) {
            LogText(rec, "GoodExit");
            globals_.FailureStreak = 0;
            identifyInProgress_ = false;
            return;
        }
    }

    // Bad exit.
    LogText(rec, "BadExit");
    if (R && !regsRead)
        ReadAllRegs(rec);
    if (!rec.Has(IGNOREERRORS))
        globals_.FailureStreak.fetch_add(1);
    identifyInProgress_ = false;
}

THDCDevice::Next THDCDevice::InternalReset(AtaCommandRecord& rec, std::string_view sent,
                                           std::string_view returned) {
    rec.Time = 40000;
    rec.Flags &= ~static_cast<std::uint32_t>(READREGS);
    LogText(rec, sent);
    ResetDevice(rec);
    if (rec.Result == ATA_OK) {
        rec.Time = 0;
        return Next::Proceed;
    }
    LogText(rec, std::string(returned) + ErrorName(rec.Result));
    return Next::Bad;
}

THDCDevice::Next THDCDevice::BusCheck(AtaCommandRecord& rec, std::int32_t T) {
    if (rec.Has(NOREADYDRSC)) {
        rec.SR = In8(srPort_);
        rec.ER = In8(erPort_);
        if (ata::NotBusy(rec.SR))
            return Next::Proceed;
        LogText(rec, "111 Bus is busy " + Hex2(rec.SR));
        if (rec.Has(RESETENABLE))
            return InternalReset(rec, "Bus reset command was sent", "Bus reset has returned ");
        std::uint64_t start = clock_.Now();
        for (;;) {
            if (ata::NotBusy(PollStatus(rec)))
                return Next::Proceed;
            if (AbortRaised(rec))
                return Next::Bad;
            if (Elapsed(start) >= T) {
                rec.Result = ATA_BUS_BUSY;
                LogText(rec, "Bus timeout error");
                return Next::Bad;
            }
        }
    }
    if (globals_.fCriticalATAError) {
        LogText(rec, "Function return FUNCTION_ABORT because fCriticalATAError was set.");
        rec.Result = ATA_ABORT;
        return Next::Bad;
    }
    rec.SR = In8(srPort_);
    rec.ER = In8(erPort_);
    if (ata::Idle(rec.SR))
        return Next::Proceed;
    LogText(rec, "Bus is not idle " + Hex2(rec.SR));
    if (rec.SR == 0) {
        AtaCommandRecord probe;
        probe.DH = 0xE0;
        ProbeDevice(probe);
        if (probe.Result != ATA_OK) {
            rec.Result = ATA_NO_DEVICE;
            LogText(rec, "There isn't ATA device");
            return Next::Bad;
        }
    }
    if (rec.Has(RESETENABLE))
        return InternalReset(rec, "Bus reset command was sent", "Bus reset has returned ");
    std::uint64_t start = clock_.Now();
    for (;;) {
        if (ata::Idle(PollStatus(rec)))
            return Next::Proceed;
        if (AbortRaised(rec))
            return Next::Bad;
        if (Elapsed(start) >= T) {
            rec.Result = ATA_BUS_BUSY;
            LogText(rec, "Bus timeout error");
            return Next::Bad;
        }
    }
}

THDCDevice::Next THDCDevice::DeviceCheck(AtaCommandRecord& rec, std::int32_t T) {
    const bool relaxed = rec.Has(NOREADYDRSC);
    auto ok = [relaxed](std::uint8_t sr) { return relaxed ? ata::NotBusy(sr) : ata::Idle(sr); };
    timerStart_ = clock_.Now();
    if (ok(rec.SR))
        return Next::Proceed;
    LogText(rec, (relaxed ? "111 Device is busy " : "Device is not idle ") + Hex2(rec.SR));
    if (rec.Has(RESETENABLE)) {
        Next n = InternalReset(rec, "Device reset command was sent", "Device reset has returned ");
        timerStart_ = clock_.Now();
        return n;
    }
    for (;;) {
        if (ok(PollStatus(rec)))
            return Next::Proceed;
        if (AbortRaised(rec))
            return Next::Bad;
        if (Elapsed(timerStart_) >= T) {
            rec.Result = ATA_DEVICE_BUSY;
            LogText(rec, "Device timeout error");
            return Next::Bad;
        }
    }
}

THDCDevice::Next THDCDevice::QuantumCommand(AtaCommandRecord& rec, std::int32_t T) {
    LogText(rec, "Quantum command");
    const std::uint8_t params[9] = {rec.SN1, rec.CH,  rec.CL, rec.FR1, rec.SN,
                                    rec.CR,  rec.SC1, rec.SC, rec.CL1};
    Out8(dhPort_, rec.DH);
    Out8(scPort_, 0x09);
    Out8(clPort_, rec.FR);
    Out8(crPort_, rec.FR);
    Settle(2);
    timerStart_ = clock_.Now();
    for (;;) {
        if (ata::Idle(PollStatus(rec)))
            break;
        if (AbortRaised(rec))
            return Next::Bad;
        if (Elapsed(timerStart_) >= T) {
            rec.Result = ATA_DEVICE_BUSY;
            LogText(rec, "Command ready timeout error");
            return Next::Bad;
        }
    }
    const bool old = rec.Has(OLDQUANTUMCMD);
    LogText(rec, old ? "Quantum cmd old" : "Quantum cmd");
    for (std::uint8_t b : params) {
        Out8(frPort_, b);
        Out8(clPort_, b);
        Out8(crPort_, old ? b : 0xFF);
        Settle(2);
        for (;;) {
            if (ata::Idle(PollStatus(rec)))
                break;
            if (AbortRaised(rec))
                return Next::Bad;
            if (Elapsed(timerStart_) >= T) {
                rec.Result = ATA_DEVICE_BUSY;
                LogText(rec, "Quantum cmd old ready timeout error");
                return Next::Bad;
            }
        }
    }
    return Next::Proceed;
}

THDCDevice::Next THDCDevice::ErrorPath(AtaCommandRecord& rec) {
    rec.ER = In8(erPort_);
    LogText(rec, "error");
    LogByte(rec, "ER", rec.ER);
    rec.Result = ATA_DEVICE_ERROR;
    if ((rec.SR & ata::ERR) && (rec.ER & ata::ER_ABRT)) {
        if (!rec.Has(IGNOREERRORS))
            globals_.FailureStreak = 7;
        return Next::Bad;
    }
    return Next::End;
}

THDCDevice::Next THDCDevice::DataPhase(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    switch (rec.Protocol) {
    case PR_NO_DATA: {
        timerStart_ = clock_.Now();
        LogText(rec, "PR_NO_DATA");
        const bool relaxed = rec.Has(NOREADYDRSC);
        for (;;) {
            std::uint8_t sr = PollStatus(rec);
            if (ata::Error(sr))
                return ErrorPath(rec);
            if (relaxed ? ata::NotBusy(sr) : sr == 0x50) {
                rec.Result = ATA_OK;
                return Next::FinalWait;
            }
            if (AbortRaised(rec))
                return Next::Bad;
            if (Elapsed(timerStart_) >= T) {
                rec.Result = ATA_TIMEOUT;
                LogText(rec, "PR_NO_DATA timeout error");
                return Next::FinalWait;
            }
        }
    }
    case PR_PIO_READ:
        return PioRead(rec, T, L);
    case PR_PIO_WRITE:
        return PioWrite(rec, T, L);
    case PR_PIO_READ_DRDY:
        return PioReadGrowing(rec, T, L, false);
    case PR_PIO_RD_Q_DRDY:
        return PioReadGrowing(rec, T, L, true);
    case PR_PIO_WR_Q_DRDY:
        return PioWriteBytes(rec, T, L);
    default:
        return Next::FinalWait;
    }
}

THDCDevice::Next THDCDevice::PioRead(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    timerStart_ = clock_.Now();
    LogText(rec, "PR_PIO_READ");
    const bool relaxed = rec.Has(NOREADYDRSC);
    // Never more than the buffer holds; a length that is not a whole number of sectors takes the
    // head of the last block and drops the rest of it.
    const std::int32_t limit =
        std::min<std::int64_t>(L, static_cast<std::int64_t>(rec.Buffer.size()));
    std::uint16_t block[256];
    while (rec.DataLen < limit) {
        std::uint8_t sr = PollStatus(rec);
        if (ata::Error(sr)) {
            rec.Time = Elapsed(timerStart_);
            return ErrorPath(rec);
        }
        if (relaxed ? ata::RelaxedDataRequest(sr) : ata::DataRequest(sr)) {
            port_.ReadWords(P(cmdBase_), block, 256);
            std::int32_t n = std::min<std::int32_t>(512, limit - rec.DataLen);
            std::uint8_t* dst = rec.Buffer.data() + rec.DataLen;
            for (std::int32_t i = 0; i < n; ++i)
                dst[i] = static_cast<std::uint8_t>(block[i / 2] >> ((i & 1) * 8));
            rec.DataLen += n;
        }
        if (AbortRaised(rec)) {
            rec.Time = Elapsed(timerStart_);
            return Next::Bad;
        }
        // Also after a block: a drive that keeps DRQ up must not hold the command past T.
        if (rec.DataLen < limit && Elapsed(timerStart_) >= T) {
            rec.Result = ATA_TIMEOUT;
            LogText(rec, "PR_PIO_READ timeout error");
            return Next::FinalWait;
        }
    }
    rec.Time = Elapsed(timerStart_);
    rec.Result = ATA_OK;
    return Next::FinalWait;
}

// After the last data of a write: polls until the device is ready (0x50, or just not busy when
// `relaxed`), an error shows, or the time-out `T` runs out.
THDCDevice::Next THDCDevice::WaitReadyAfterWrite(AtaCommandRecord& rec, std::int32_t T,
                                                 const char* timeoutText, bool relaxed) {
    LogText(rec, "Waiting for ready");
    for (;;) {
        if (rec.Time >= T) {
            rec.Result = ATA_TIMEOUT;
            LogText(rec, timeoutText);
            return Next::FinalWait;
        }
        rec.Time = Elapsed(timerStart_);
        std::uint8_t sr = PollStatus(rec);
        if (relaxed ? ata::NotBusy(sr) : sr == 0x50) {
            rec.Result = ATA_OK;
            return Next::FinalWait;
        }
        if (!rec.Has(IGNOREERRWAIT) && ata::Error(sr))
            return ErrorPath(rec);
        if (AbortRaised(rec))
            return Next::Bad;
    }
}

THDCDevice::Next THDCDevice::PioWrite(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    timerStart_ = clock_.Now();
    LogText(rec, "PR_PIO_WRITE");
    const bool relaxed = rec.Has(NOREADYDRSC);
    std::int64_t remain =
        std::clamp<std::int64_t>(L, 0, static_cast<std::int64_t>(rec.Buffer.size()));
    std::size_t pos = 0;
    while (remain != 0) {
        std::uint8_t sr = PollStatus(rec);
        if (!rec.Has(NOWRITECOMMAND) && ata::Error(sr))
            return ErrorPath(rec);
        if (relaxed ? ata::RelaxedDataRequest(sr) : ata::DataRequest(sr)) {
            int words = 0;
            while (remain != 0 && words < 256) {
                std::uint16_t w = rec.Buffer[pos];
                if (remain >= 2)
                    w = static_cast<std::uint16_t>(w | (rec.Buffer[pos + 1] << 8));
                port_.WriteWord(P(cmdBase_), w);
                std::int64_t step = remain >= 2 ? 2 : 1;
                pos += static_cast<std::size_t>(step);
                remain -= step;
                ++words;
            }
            // A length that ends inside a sector: the drive still wants the rest of the block,
            // so complete it with zeroes rather than leave the command hanging.
            while (remain == 0 && words < 256 && words > 0 && (L % 512) != 0) {
                port_.WriteWord(P(cmdBase_), 0);
                ++words;
            }
        }
        if (AbortRaised(rec))
            return Next::Bad;
        if (Elapsed(timerStart_) > T) {
            rec.Result = ATA_TIMEOUT;
            LogText(rec, "PR_PIO_WRITE timeout error 1");
            return Next::FinalWait;
        }
    }
    return WaitReadyAfterWrite(rec, T, "PR_PIO_WRITE timeout error 2", relaxed);
}

// Reads one word (or, for the byte protocol, one clocked byte) into the growing buffer. False
// when the buffer has reached its bound: the unit is then left unread.
bool THDCDevice::ReadOneUnit(AtaCommandRecord& rec, bool bytes) {
    const std::size_t unit = bytes ? 1 : 2;
    const auto used = static_cast<std::size_t>(rec.DataLen);
    if (used + unit > rec.Buffer.size()) {
        if (rec.Buffer.size() >= kMaxGrownBuffer)
            return false;
        std::size_t grown = std::min(rec.Buffer.size() + 8192, kMaxGrownBuffer);
        if (grown < used + unit)
            return false;
        rec.Buffer.resize(grown, 0);
    }
    if (bytes) {
        rec.Buffer[used] = In8(erPort_);
        Out8(crPort_, 0xFF);
    } else {
        std::uint16_t w = port_.ReadWord(P(cmdBase_));
        rec.Buffer[used] = static_cast<std::uint8_t>(w);
        rec.Buffer[used + 1] = static_cast<std::uint8_t>(w >> 8);
    }
    rec.DataLen += static_cast<std::int32_t>(unit);
    return true;
}

THDCDevice::Next THDCDevice::PioReadGrowing(AtaCommandRecord& rec, std::int32_t T, std::int32_t L,
                                            bool bytes) {
    timerStart_ = clock_.Now();
    LogText(rec, bytes ? "PR_PIO_RD_Q_DRDY" : "PR_PIO_READ_DRDY");
    for (;;) {
        std::uint8_t sr = PollStatus(rec);
        if (!rec.Has(NOWRITECOMMAND) && ata::Error(sr))
            return ErrorPath(rec);
        if (ata::DataRequest(sr)) {
            ReadOneUnit(rec, bytes);
        } else if ((sr & 0xD8) == 0x50) {
            if (identifyInProgress_) {
                std::int64_t words = (static_cast<std::int64_t>(L) - rec.DataLen) / 2;
                pendingWords_ = static_cast<std::int32_t>(std::max<std::int64_t>(words, 0));
            }
            const std::int32_t extra = bytes ? 2 * pendingWords_ : pendingWords_;
            for (std::int32_t i = 0; i < extra; ++i) {
                if (!ReadOneUnit(rec, bytes)) {
                    // Out of room: the unit still has to leave the drive.
                    if (bytes) {
                        In8(erPort_);
                        Out8(crPort_, 0xFF);
                    } else {
                        port_.ReadWord(P(cmdBase_));
                    }
                }
            }
            rec.Result = ATA_OK;
            if (bytes) {
                Out8(frPort_, 0);
                Out8(crPort_, 0);
            }
            return Next::FinalWait;
        }
        if (AbortRaised(rec))
            return Next::Bad;
        if (Elapsed(timerStart_) >= T) {
            rec.Result = ATA_TIMEOUT;
            LogText(rec,
                    bytes ? "PR_PIO_RD_Q_DRDY timeout error" : "PR_PIO_READ_DRDY timeout error");
            return Next::FinalWait;
        }
    }
}

THDCDevice::Next THDCDevice::PioWriteBytes(AtaCommandRecord& rec, std::int32_t T, std::int32_t L) {
    timerStart_ = clock_.Now();
    LogText(rec, "PR_PIO_WR_Q_DRDY");
    std::int64_t remain =
        std::clamp<std::int64_t>(L, 0, static_cast<std::int64_t>(rec.Buffer.size()));
    std::size_t pos = 0;
    while (remain != 0) {
        std::uint8_t sr = PollStatus(rec);
        if (!rec.Has(NOWRITECOMMAND) && ata::Error(sr))
            return ErrorPath(rec);
        if (sr == 0x50) {
            std::uint8_t b = rec.Buffer[pos++];
            Out8(frPort_, b);
            Out8(crPort_, b);
            Settle(2);
            --remain;
        }
        if (AbortRaised(rec))
            return Next::Bad;
        if (Elapsed(timerStart_) > T) {
            rec.Result = ATA_TIMEOUT;
            LogText(rec, "PR_PIO_WR_Q_DRDY timeout error 1");
            return Next::FinalWait;
        }
    }
    return WaitReadyAfterWrite(rec, T, "PR_PIO_WR_Q_DRDY timeout error 2", false);
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
    }
}

void THDCDevice::SetFeatures(AtaCommandRecord& rec, std::uint8_t subcommand) {
    rec = AtaCommandRecord{};
    rec.DH = master_ ? 0xA0 : 0xB0;
    rec.CR = 0xEF;
    rec.FR = subcommand;
    rec.Flags = RESETENABLE | READREGS;
    rec.Protocol = PR_NO_DATA;
    rec.Time = 200;
    watchAbort_ = false;
    ExecuteCommand(rec);
    watchAbort_ = true;
}

} // namespace zkv
