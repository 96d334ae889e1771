// The command engine of THDCDevice: one AtaCommandRecord from the bus and device checks through
// the task-file write (common, Quantum or vendor frame) to the final wait, the register read-back
// and the failure streak. The data phase it hands over to is in HDCPio.cpp.
#include "ata/HDCDevice.h"

#include "protocol/Vocabulary.h"

#include <string>

namespace zkv {

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
                    WriteTaskFile(rec);
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
        LogText(rec, "111 Bus is busy " + HexDigits(rec.SR, 2));
        return WaitBus(rec, T, ata::NotBusy);
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
    LogText(rec, "Bus is not idle " + HexDigits(rec.SR, 2));
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
    return WaitBus(rec, T, ata::Idle);
}

// The bus was not ready at the first look: a reset when the record allows it, else polling
// until `ready` holds, the abort request is raised or `T` runs out.
THDCDevice::Next THDCDevice::WaitBus(AtaCommandRecord& rec, std::int32_t T, StatusTest ready) {
    if (rec.Has(RESETENABLE))
        return InternalReset(rec, "Bus reset command was sent", "Bus reset has returned ");
    return WaitStatus(rec, clock_.Now(), T, ready, ATA_BUS_BUSY, "Bus timeout error");
}

THDCDevice::Next THDCDevice::WaitStatus(AtaCommandRecord& rec, std::uint64_t start, std::int32_t T,
                                        StatusTest ready, AtaResult timeoutResult,
                                        std::string_view timeoutText) {
    for (;;) {
        if (ready(PollStatus(rec)))
            return Next::Proceed;
        if (AbortRaised(rec))
            return Next::Bad;
        if (Elapsed(start) >= T) {
            rec.Result = timeoutResult;
            LogText(rec, timeoutText);
            return Next::Bad;
        }
    }
}

THDCDevice::Next THDCDevice::DeviceCheck(AtaCommandRecord& rec, std::int32_t T) {
    const bool relaxed = rec.Has(NOREADYDRSC);
    const StatusTest ok = relaxed ? ata::NotBusy : ata::Idle;
    timerStart_ = clock_.Now();
    if (ok(rec.SR))
        return Next::Proceed;
    LogText(rec, (relaxed ? "111 Device is busy " : "Device is not idle ") + HexDigits(rec.SR, 2));
    if (rec.Has(RESETENABLE)) {
        Next n = InternalReset(rec, "Device reset command was sent", "Device reset has returned ");
        timerStart_ = clock_.Now();
        return n;
    }
    return WaitStatus(rec, timerStart_, T, ok, ATA_DEVICE_BUSY, "Device timeout error");
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
    if (WaitStatus(rec, timerStart_, T, ata::Idle, ATA_DEVICE_BUSY,
                   "Command ready timeout error") == Next::Bad)
        return Next::Bad;
    const bool old = rec.Has(OLDQUANTUMCMD);
    LogText(rec, old ? "Quantum cmd old" : "Quantum cmd");
    for (std::uint8_t b : params) {
        Out8(frPort_, b);
        Out8(clPort_, b);
        Out8(crPort_, old ? b : 0xFF);
        Settle(2);
        if (WaitStatus(rec, timerStart_, T, ata::Idle, ATA_DEVICE_BUSY,
                       "Quantum cmd old ready timeout error") == Next::Bad)
            return Next::Bad;
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
