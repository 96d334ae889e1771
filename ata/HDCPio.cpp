// The data phases of THDCDevice's command engine: no data, PIO read and write by blocks of 256
// words, the growing reads that take what the drive sends until it is ready again (words, or
// bytes clocked through a register), the byte write, and the wait for ready after a write.
#include "ata/HDCDevice.h"

#include <algorithm>

namespace zkv {

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

// The end of one pass of a write loop: Bad once the abort request is raised, FinalWait with a
// time-out once more than `T` ms have passed; nothing while the write may go on.
std::optional<THDCDevice::Next> THDCDevice::WriteStepStop(AtaCommandRecord& rec, std::int32_t T,
                                                          std::string_view timeoutText) {
    if (AbortRaised(rec))
        return Next::Bad;
    if (Elapsed(timerStart_) > T) {
        rec.Result = ATA_TIMEOUT;
        LogText(rec, timeoutText);
        return Next::FinalWait;
    }
    return std::nullopt;
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
        if (auto stop = WriteStepStop(rec, T, "PR_PIO_WRITE timeout error 1"))
            return *stop;
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
        if (auto stop = WriteStepStop(rec, T, "PR_PIO_WR_Q_DRDY timeout error 1"))
            return *stop;
    }
    return WaitReadyAfterWrite(rec, T, "PR_PIO_WR_Q_DRDY timeout error 2", false);
}

} // namespace zkv
