// The simulated device's life cycle: construction from its configuration, the power-on
// signature, the busy state machine that every command runs through (what happens when BSY
// drops), the data port in both directions, and the software reset.
#include "sim/SimAtaDevice.h"

#include <utility>

namespace zkv {

SimAtaDevice::SimAtaDevice(const SimDeviceConfig& cfg, const SimTimings& t, bool isSlave)
    : cfg_(cfg), t_(t), isSlave_(isSlave), wc_(cfg.writeCache), la_(cfg.lookAhead), ram_(cfg.ram) {
    if (cfg_.type == SimDeviceConfig::Type::Disk) {
        if (cfg_.image.empty()) {
            store_ = std::make_unique<MemorySectorStore>();
            sectors_ = cfg_.sectors ? cfg_.sectors : (1u << 21);
        } else {
            auto file = std::make_unique<FileSectorStore>(cfg_.image);
            sectors_ = cfg_.sectors ? cfg_.sectors : file->SizeInSectors();
            store_ = std::move(file);
        }
        if (!cfg_.lba48 && sectors_ > 0x0FFFFFFF)
            sectors_ = 0x0FFFFFFF;
    }
    for (const SimDefect& d : cfg_.defects)
        defects_[d.lba] = d.kind;
    if (cfg_.type == SimDeviceConfig::Type::Busy)
        status_ = kBsy;
    if (cfg_.type == SimDeviceConfig::Type::Packet)
        status_ = 0x00; // DRDY stays clear until the first command
    SetSignature();
}

void SimAtaDevice::SetSignature() {
    sc_ = 1;
    sn_ = 1;
    if (cfg_.type == SimDeviceConfig::Type::Packet) {
        cl_ = 0x14;
        ch_ = 0xEB;
    } else {
        cl_ = 0;
        ch_ = 0;
    }
    dh_ = isSlave_ ? 0x10 : 0x00;
}

std::vector<std::uint8_t> SimAtaDevice::ReadSectorForTest(std::uint64_t lba) {
    std::vector<std::uint8_t> b(512, 0);
    if (store_)
        store_->Read(lba, b.data());
    return b;
}

void SimAtaDevice::Busy(std::uint64_t now, std::uint64_t ns, After then) {
    status_ = kBsy;
    phase_ = Phase::Busy;
    busyUntil_ = now + ns;
    after_ = then;
}

void SimAtaDevice::Complete() {
    status_ = kIdle;
    phase_ = Phase::Idle;
    after_ = After::None;
}

void SimAtaDevice::Fail(std::uint8_t err) {
    error_ = err;
    status_ = kFault;
    phase_ = Phase::Idle;
    after_ = After::None;
    qmode_ = QMode::None;
}

void SimAtaDevice::FailAt(std::uint64_t lba, std::uint8_t err) {
    PutLbaRegs(lba);
    Fail(err);
}

void SimAtaDevice::Update(std::uint64_t now) {
    while (phase_ == Phase::Busy && now >= busyUntil_) {
        After a = after_;
        after_ = After::None;
        switch (a) {
        case After::None:
        case After::Complete:
            Complete();
            break;
        case After::Fail:
            Fail(failError_);
            break;
        case After::ResetDone:
            SetSignature();
            error_ = 0x01;
            Complete();
            // A packet device does not set DRDY after a reset.
            if (cfg_.type == SimDeviceConfig::Type::Packet)
                status_ = 0x00;
            break;
        case After::DataReady: // xfer_ holds the block
            xferPos_ = 0;
            status_ = kDrq;
            phase_ = Phase::DataIn;
            break;
        case After::LoadRead: {
            int err = DefectError(lba_, false);
            if (err) {
                FailAt(lba_, static_cast<std::uint8_t>(err));
                break;
            }
            xfer_.assign(512, 0);
            store_->Read(lba_, xfer_.data());
            xferPos_ = 0;
            status_ = kDrq;
            phase_ = Phase::DataIn;
            break;
        }
        case After::AcceptWrite: {
            // The reallocation takes its sector of data whatever the defect.
            int err = op_ == 0x50 ? 0 : DefectError(lba_, true);
            if (err) {
                FailAt(lba_, static_cast<std::uint8_t>(err));
                break;
            }
            xfer_.assign(512, 0);
            xferPos_ = 0;
            status_ = kDrq;
            phase_ = Phase::DataOut;
            break;
        }
        case After::CommitWrite:
            if (op_ == 0x50) { // reallocation: the defect goes, the data stays
                defects_.erase(lba_);
                Complete();
                break;
            }
            store_->Write(lba_, xfer_.data());
            // A successful write of a pending sector reallocates it.
            if (auto it = defects_.find(lba_);
                it != defects_.end() && it->second == SimDefectKind::UNC)
                defects_.erase(it);
            ++lba_;
            if (--remaining_ == 0) {
                Complete();
            } else {
                Busy(busyUntil_, SlowNs(lba_), After::AcceptWrite);
            }
            break;
        case After::VendorByte:
            sc_ = static_cast<std::uint8_t>(vendorValue_);
            Complete();
            break;
        case After::VendorDrq:
            status_ = kDrq;
            phase_ = Phase::DataIn;
            xfer_.clear();
            break;
        case After::ParamAccepted:
            if (qmode_ == QMode::ByteIn) {
                status_ = kDrq;
                phase_ = Phase::Idle;
            } else {
                Complete();
            }
            break;
        }
    }
}

std::uint32_t SimAtaDevice::ReadData(int width, std::uint64_t now) {
    if (phase_ != Phase::DataIn || xfer_.empty() || status_ & kBsy)
        return 0;
    std::uint32_t v = 0;
    int bytes = width == 4 ? 4 : 2;
    for (int i = 0; i < bytes && xferPos_ < xfer_.size(); ++i)
        v |= std::uint32_t{xfer_[xferPos_++]} << (8 * i);
    if (xferPos_ >= xfer_.size()) {
        bool reading = op_ == 0x20 || op_ == 0x21 || op_ == 0x24;
        if (reading && cfg_.endlessDrq) {
            xferPos_ = 0; // the same sector again, without a pause
        } else if (reading && --remaining_ > 0) {
            ++lba_;
            Busy(now, (la_ ? t_.sectorCached : t_.sectorMedia) + SlowNs(lba_), After::LoadRead);
        } else {
            xfer_.clear();
            Complete();
        }
    }
    return v;
}

void SimAtaDevice::WriteData(std::uint16_t v, std::uint64_t now) {
    if (phase_ != Phase::DataOut || status_ & kBsy) {
        dataLatch_ = v;
        return;
    }
    xfer_[xferPos_++] = static_cast<std::uint8_t>(v);
    xfer_[xferPos_++] = static_cast<std::uint8_t>(v >> 8);
    if (xferPos_ >= xfer_.size())
        Busy(now, wc_ ? t_.writeCached : t_.writeMedia, After::CommitWrite);
}

void SimAtaDevice::ResetAsserted() {
    if (cfg_.type == SimDeviceConfig::Type::Busy)
        return;
    status_ = kBsy;
    phase_ = Phase::Reset;
    after_ = After::None;
    qmode_ = QMode::None;
    xfer_.clear();
}

void SimAtaDevice::ResetReleased(std::uint64_t now) {
    if (cfg_.type == SimDeviceConfig::Type::Busy || phase_ != Phase::Reset)
        return;
    Busy(now, cfg_.type == SimDeviceConfig::Type::Packet ? t_.resetPacket : t_.resetDisk,
         After::ResetDone);
}

} // namespace zkv
