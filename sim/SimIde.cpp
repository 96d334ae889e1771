#include "sim/SimIde.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zkv {
namespace {

constexpr std::uint8_t kIdle = 0x50;  // DRDY | DSC
constexpr std::uint8_t kDrq = 0x58;   // DRDY | DSC | DRQ
constexpr std::uint8_t kFault = 0x41; // DRDY | ERR: an error clears DSC
constexpr std::uint8_t kBsy = 0x80;
constexpr std::uint8_t kUNC = 0x40, kIDNF = 0x10, kABRT = 0x04;

void PutAtaString(std::vector<std::uint8_t>& b, int firstWord, int words, const std::string& s) {
    for (int i = 0; i < words * 2; ++i) {
        char c = i < static_cast<int>(s.size()) ? s[static_cast<std::size_t>(i)] : ' ';
        // character 2k sits in the high byte of word k
        b[static_cast<std::size_t>(2 * firstWord + (i ^ 1))] = static_cast<std::uint8_t>(c);
    }
}
void PutWord(std::vector<std::uint8_t>& b, int w, std::uint16_t v) {
    b[static_cast<std::size_t>(2 * w)] = static_cast<std::uint8_t>(v);
    b[static_cast<std::size_t>(2 * w + 1)] = static_cast<std::uint8_t>(v >> 8);
}
void Checksum(std::vector<std::uint8_t>& b) {
    b[510] = 0xA5;
    std::uint8_t sum = 0;
    for (int i = 0; i < 511; ++i)
        sum = static_cast<std::uint8_t>(sum + b[static_cast<std::size_t>(i)]);
    b[511] = static_cast<std::uint8_t>(-sum);
}

} // namespace

// ---- device ------------------------------------------------------------------------------

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

std::vector<std::uint8_t> SimAtaDevice::IdentifyBlock() const {
    std::vector<std::uint8_t> b(512, 0);
    std::uint64_t cyl = std::min<std::uint64_t>(sectors_ / (16 * 63), 16383);
    std::uint32_t lba28 = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors_, 0x0FFFFFFF));
    PutWord(b, 0, 0x0040);
    PutWord(b, 1, static_cast<std::uint16_t>(cyl));
    PutWord(b, 3, 16);
    PutWord(b, 6, 63);
    PutAtaString(b, 10, 10, cfg_.serial);
    PutAtaString(b, 23, 4, cfg_.firmware);
    PutAtaString(b, 27, 20, cfg_.model);
    PutWord(b, 47, 0x8000);
    PutWord(b, 49, 0x0200);
    PutWord(b, 53, 0x0001);
    PutWord(b, 54, static_cast<std::uint16_t>(cyl));
    PutWord(b, 55, 16);
    PutWord(b, 56, 63);
    std::uint32_t chs = static_cast<std::uint32_t>(cyl * 16 * 63);
    PutWord(b, 57, static_cast<std::uint16_t>(chs));
    PutWord(b, 58, static_cast<std::uint16_t>(chs >> 16));
    PutWord(b, 60, static_cast<std::uint16_t>(lba28));
    PutWord(b, 61, static_cast<std::uint16_t>(lba28 >> 16));
    PutWord(b, 80, 0x007E);
    PutWord(b, 82, 0x4060); // write cache and look-ahead supported
    PutWord(b, 83, static_cast<std::uint16_t>(0x4000 | (cfg_.lba48 ? 0x2400 : 0)));
    PutWord(b, 84, 0x4000);
    PutWord(b, 85, static_cast<std::uint16_t>((wc_ ? 0x20 : 0) | (la_ ? 0x40 : 0)));
    PutWord(b, 86, static_cast<std::uint16_t>(cfg_.lba48 ? 0x2400 : 0));
    PutWord(b, 87, 0x4000);
    if (cfg_.lba48) {
        for (int i = 0; i < 4; ++i)
            PutWord(b, 100 + i, static_cast<std::uint16_t>(sectors_ >> (16 * i)));
    }
    Checksum(b);
    return b;
}

std::vector<std::uint8_t> SimAtaDevice::PacketIdentifyBlock() const {
    std::vector<std::uint8_t> b(512, 0);
    PutWord(b, 0, 0x8580); // packet device, CD-ROM, removable, 12-byte packets
    PutAtaString(b, 10, 10, cfg_.serial);
    PutAtaString(b, 23, 4, cfg_.firmware);
    PutAtaString(b, 27, 20, cfg_.model);
    PutWord(b, 49, 0x0200);
    PutWord(b, 80, 0x007E);
    Checksum(b);
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

void SimAtaDevice::PutLbaRegs(std::uint64_t lba) {
    if (ext_) {
        sn_ = static_cast<std::uint8_t>(lba);
        cl_ = static_cast<std::uint8_t>(lba >> 8);
        ch_ = static_cast<std::uint8_t>(lba >> 16);
        snP_ = static_cast<std::uint8_t>(lba >> 24);
        clP_ = static_cast<std::uint8_t>(lba >> 32);
        chP_ = static_cast<std::uint8_t>(lba >> 40);
    } else if (dh_ & 0x40) {
        sn_ = static_cast<std::uint8_t>(lba);
        cl_ = static_cast<std::uint8_t>(lba >> 8);
        ch_ = static_cast<std::uint8_t>(lba >> 16);
        dh_ = static_cast<std::uint8_t>((dh_ & 0xF0) | ((lba >> 24) & 0x0F));
    } else {
        std::uint64_t c = lba / (16 * 63), rest = lba % (16 * 63);
        cl_ = static_cast<std::uint8_t>(c);
        ch_ = static_cast<std::uint8_t>(c >> 8);
        dh_ = static_cast<std::uint8_t>((dh_ & 0xF0) | (rest / 63));
        sn_ = static_cast<std::uint8_t>(rest % 63 + 1);
    }
}

bool SimAtaDevice::AddressFromRegs(std::uint64_t& lba) const {
    if (ext_) {
        lba = std::uint64_t{sn_} | (std::uint64_t{cl_} << 8) | (std::uint64_t{ch_} << 16) |
              (std::uint64_t{snP_} << 24) | (std::uint64_t{clP_} << 32) |
              (std::uint64_t{chP_} << 40);
        return true;
    }
    if (dh_ & 0x40) {
        lba = std::uint64_t{sn_} | (std::uint64_t{cl_} << 8) | (std::uint64_t{ch_} << 16) |
              (std::uint64_t{dh_ & 0x0Fu} << 24);
        return true;
    }
    if (sn_ == 0 || sn_ > 63)
        return false;
    std::uint64_t c = std::uint64_t{cl_} | (std::uint64_t{ch_} << 8);
    lba = (c * 16 + (dh_ & 0x0F)) * 63 + (sn_ - 1);
    return true;
}

std::uint32_t SimAtaDevice::CountFromRegs() const {
    if (ext_) {
        std::uint32_t n = sc_ | (std::uint32_t{scP_} << 8);
        return n ? n : 65536;
    }
    return sc_ ? sc_ : 256;
}

std::uint64_t SimAtaDevice::SlowNs(std::uint64_t lba) const {
    std::uint64_t ns = 0;
    for (const SimSlow& s : cfg_.slow)
        if (lba >= s.lba && lba - s.lba < s.count)
            ns += std::uint64_t{s.ms} * 1'000'000ULL + std::uint64_t{s.us} * 1'000ULL;
    return ns;
}

// The error a defect or an out-of-range address gives at `lba`, or 0.
int SimAtaDevice::DefectError(std::uint64_t lba, bool forWrite) const {
    if (lba >= sectors_)
        return kIDNF;
    auto it = defects_.find(lba);
    if (it == defects_.end())
        return 0;
    switch (it->second) {
    case SimDefectKind::UNC:
        return forWrite ? 0 : kUNC;
    case SimDefectKind::IDNF:
        return kIDNF;
    case SimDefectKind::ABRT:
        return kABRT;
    }
    return 0;
}

bool SimAtaDevice::RamAt(std::uint64_t a, int n, std::uint32_t& out) const {
    if (a + static_cast<std::uint64_t>(n) > ram_.size())
        return false;
    out = 0;
    for (int i = 0; i < n; ++i)
        out |= std::uint32_t{ram_[a + static_cast<std::uint64_t>(i)]} << (8 * i);
    return true;
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

std::uint32_t SimAtaDevice::ShadowReg(int reg, bool hob) const {
    switch (reg) {
    case 1:
        return error_;
    case 2:
        return hob ? scP_ : sc_;
    case 3:
        return hob ? snP_ : sn_;
    case 4:
        return hob ? clP_ : cl_;
    case 5:
        return hob ? chP_ : ch_;
    case 6:
        return dh_;
    default:
        return status_;
    }
}

std::uint32_t SimAtaDevice::ReadReg(int reg, int width, bool hob) {
    if (status_ & kBsy)
        return status_;
    // The unit of a vendor read with a data phase leaves through its register.
    if (phase_ == Phase::DataIn && xfer_.empty() && reg == vendorPort_) {
        std::uint32_t mask = width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
        std::uint32_t v = vendorValue_ & mask;
        Complete();
        return v;
    }
    if (qmode_ == QMode::ByteIn && reg == 1) {
        std::uint32_t v = 0;
        RamAt(qAddr_, 1, v);
        return v;
    }
    return ShadowReg(reg, hob);
}

void SimAtaDevice::WriteReg(int reg, std::uint8_t v) {
    if (status_ & kBsy)
        return;
    switch (reg) {
    case 1:
        frP_ = fr_;
        fr_ = v;
        break;
    case 2:
        scP_ = sc_;
        sc_ = v;
        break;
    case 3:
        snP_ = sn_;
        sn_ = v;
        break;
    case 4:
        clP_ = cl_;
        cl_ = v;
        break;
    case 5:
        chP_ = ch_;
        ch_ = v;
        break;
    case 6:
        dh_ = v;
        break;
    default:
        break;
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

void SimAtaDevice::StartTransfer(std::uint64_t now) {
    std::uint64_t lba = 0;
    if (!AddressFromRegs(lba)) {
        Fail(kIDNF);
        return;
    }
    lba_ = lba;
    remaining_ = CountFromRegs();
    switch (op_) {
    case 0x20:
    case 0x21:
    case 0x24:
        Busy(now, t_.command + SlowNs(lba_), After::LoadRead);
        break;
    case 0x30:
    case 0x31:
    case 0x34:
        Busy(now, t_.command, After::AcceptWrite);
        break;
    case 0x40:
    case 0x41:
    case 0x42: {
        std::uint64_t ns = t_.command;
        for (std::uint32_t i = 0; i < remaining_; ++i) {
            std::uint64_t l = lba_ + i;
            ns += t_.verifySector + SlowNs(l);
            if (int err = DefectError(l, false)) {
                PutLbaRegs(l);
                failError_ = static_cast<std::uint8_t>(err);
                Busy(now, ns, After::Fail);
                return;
            }
        }
        Busy(now, ns, After::Complete);
        break;
    }
    case 0x22:
    case 0x23: {
        if (int err = DefectError(lba_, true)) { // the raw sector is readable despite UNC
            PutLbaRegs(lba_);
            failError_ = static_cast<std::uint8_t>(err);
            Busy(now, t_.command, After::Fail);
            return;
        }
        xfer_.assign(516, 0);
        store_->Read(lba_, xfer_.data());
        std::uint32_t sum = 0;
        for (int i = 0; i < 512; ++i)
            sum = sum * 31 + xfer_[static_cast<std::size_t>(i)];
        for (int i = 0; i < 4; ++i)
            xfer_[static_cast<std::size_t>(512 + i)] = static_cast<std::uint8_t>(sum >> (8 * i));
        Busy(now, t_.command + SlowNs(lba_), After::DataReady);
        break;
    }
    default:
        break;
    }
}

void SimAtaDevice::Command(std::uint8_t op, std::uint64_t now) {
    using T = SimDeviceConfig::Type;
    if (status_ & kBsy || cfg_.type == T::Busy || cfg_.type == T::None)
        return;
    ++commands_;
    error_ = 0;
    op_ = op;
    ext_ = false;
    if (qmode_ == QMode::Params || qmode_ == QMode::ByteOut) {
        ParamByte(op, now);
        return;
    }
    if (qmode_ == QMode::ByteIn) {
        if (op == 0xFF) {
            ++qAddr_;
            if (--qLeft_ == 0) {
                qmode_ = QMode::ByteInClose;
                Busy(now, t_.vendor, After::Complete);
            } else {
                Busy(now, t_.vendor, After::ParamAccepted);
            }
            return;
        }
        qmode_ = QMode::None;
    }
    if (qmode_ == QMode::ByteInClose) {
        qmode_ = QMode::None;
        if (op == 0x00)
            return; // closes the byte read; not a command
    }
    if (cfg_.type == T::Mute) {
        Busy(now, t_.command, After::Fail);
        failError_ = kABRT;
        return;
    }
    if (cfg_.type == T::Packet) {
        switch (op) {
        case 0xA1:
            xfer_ = PacketIdentifyBlock();
            Busy(now, t_.identify, After::DataReady);
            return;
        case 0x08: // DEVICE RESET
            Busy(now, t_.command, After::ResetDone);
            return;
        case 0xEC:
            SetSignature();
            [[fallthrough]];
        default:
            failError_ = kABRT;
            Busy(now, t_.command, After::Fail);
            return;
        }
    }

    // A disk.
    auto abort = [&] {
        failError_ = kABRT;
        Busy(now, t_.command, After::Fail);
    };
    switch (op) {
    case 0xEC:
        xfer_ = IdentifyBlock();
        Busy(now, t_.identify, After::DataReady);
        return;
    case 0x24:
    case 0x34:
    case 0x42:
        if (!cfg_.lba48)
            return abort();
        ext_ = true;
        StartTransfer(now);
        return;
    case 0x20:
    case 0x21:
    case 0x30:
    case 0x31:
    case 0x40:
    case 0x41:
    case 0x22:
    case 0x23:
        StartTransfer(now);
        return;
    case 0x50: { // reallocate the addressed sector: one sector of data out, then done
        std::uint64_t lba = 0;
        if (!AddressFromRegs(lba) || lba >= sectors_) {
            failError_ = kIDNF;
            Busy(now, t_.command, After::Fail);
            return;
        }
        lba_ = lba;
        remaining_ = 1;
        Busy(now, t_.seek, After::AcceptWrite);
        return;
    }
    case 0xEF:
        switch (fr_) {
        case 0x02:
            wc_ = true;
            break;
        case 0x82:
            wc_ = false;
            break;
        case 0xAA:
            la_ = true;
            break;
        case 0x55:
            la_ = false;
            break;
        case 0x03:
            break;
        default:
            return abort();
        }
        Busy(now, t_.command, After::Complete);
        return;
    case 0xE7: // FLUSH CACHE
    case 0xEA: // FLUSH CACHE EXT
    case 0x91: // INITIALIZE DEVICE PARAMETERS
    case 0xE0:
    case 0xE1:
    case 0xE2:
    case 0xE3:
        Busy(now, t_.command, After::Complete);
        return;
    case 0xE5: // CHECK POWER MODE: active
        sc_ = 0xFF;
        Busy(now, t_.command, After::Complete);
        return;
    case 0xF8:
    case 0x27: { // READ NATIVE MAX ADDRESS (EXT)
        if (op == 0x27) {
            if (!cfg_.lba48)
                return abort();
            ext_ = true;
        }
        std::uint64_t max = sectors_ ? sectors_ - 1 : 0;
        PutLbaRegs(max);
        Busy(now, t_.command, After::Complete);
        return;
    }
    case 0xF0:
    case 0xF1:
    case 0xF2:
    case 0xF3:
    case 0xFA:
        Vendor(op, now);
        return;
    default:
        if ((op & 0xF0) == 0x70 || (op & 0xF0) == 0x10) { // SEEK, RECALIBRATE
            std::uint64_t lba = 0;
            if ((op & 0xF0) == 0x70 && (!AddressFromRegs(lba) || lba >= sectors_)) {
                failError_ = kIDNF;
                Busy(now, t_.command, After::Fail);
                return;
            }
            Busy(now, t_.seek, After::Complete);
            return;
        }
        return abort();
    }
}

void SimAtaDevice::Vendor(std::uint8_t op, std::uint64_t now) {
    auto abort = [&] {
        failError_ = kABRT;
        Busy(now, t_.vendor, After::Fail);
    };
    std::uint32_t v = 0;
    switch (op) {
    case 0xF0: {
        std::uint32_t a = (std::uint32_t{sn_} << 16) | (std::uint32_t{ch_} << 8) | cl_;
        if (!RamAt(a, 1, v))
            return abort();
        vendorValue_ = v;
        Busy(now, t_.vendor, After::VendorByte);
        return;
    }
    case 0xF1: {
        std::uint32_t a = (std::uint32_t{ch_} << 16) | (std::uint32_t{cl_} << 8) | sn_;
        if (!RamAt(a, 1, v))
            return abort();
        if (!RamAt(a, 2, v))
            RamAt(a, 1, v);
        vendorValue_ = v;
        vendorPort_ = 4;
        Busy(now, t_.vendor, After::VendorDrq);
        return;
    }
    case 0xF2: {
        std::uint32_t a = (std::uint32_t{ch_} << 24) | (std::uint32_t{cl_} << 16) |
                          (std::uint32_t{sn_} << 8) | sc_;
        if (!RamAt(a, 1, v))
            return abort();
        if (!RamAt(a, 4, v) && !RamAt(a, 2, v))
            RamAt(a, 1, v);
        vendorValue_ = v;
        vendorPort_ = 2;
        Busy(now, t_.vendor, After::VendorDrq);
        return;
    }
    case 0xF3: {
        std::uint32_t a = (std::uint32_t{dataLatch_} << 16) | (std::uint32_t{ch_} << 8) | cl_;
        if (!RamAt(a, 2, v))
            return abort();
        vendorValue_ = v;
        vendorPort_ = 1;
        Busy(now, t_.vendor, After::VendorDrq);
        return;
    }
    case 0xFA:
        if (sc_ != 9 || cl_ != 0xFA)
            return abort();
        qmode_ = QMode::Params;
        paramCount_ = 0;
        params_.fill(0);
        Busy(now, t_.vendor, After::Complete);
        return;
    default:
        return abort();
    }
}

void SimAtaDevice::ParamByte(std::uint8_t cr, std::uint64_t now) {
    auto abort = [&] {
        qmode_ = QMode::None;
        failError_ = kABRT;
        Busy(now, t_.vendor, After::Fail);
    };
    if (qmode_ == QMode::ByteOut) {
        if (cr != fr_ || qAddr_ >= ram_.size())
            return abort();
        ram_[qAddr_++] = fr_;
        if (--qLeft_ == 0)
            qmode_ = QMode::None;
        Busy(now, t_.vendor, After::Complete);
        return;
    }
    // Collecting the nine parameter bytes: FR and CL carry the byte, CR clocks it.
    if (fr_ != cl_ || (cr != fr_ && cr != 0xFF))
        return abort();
    params_[static_cast<std::size_t>(paramCount_++)] = fr_;
    paramsOld_ = cr != 0xFF || fr_ == 0xFF;
    if (paramCount_ < 9) {
        Busy(now, t_.vendor, After::Complete);
        return;
    }
    ++paramCommands_;
    qmode_ = QMode::None;
    qAddr_ = (std::uint32_t{params_[1]} << 16) | (std::uint32_t{params_[2]} << 8) | params_[3];
    qLeft_ = params_[4] ? params_[4] : 256;
    if (params_[0] == 0x01 || params_[0] == 0x02) {
        if (std::uint64_t{qAddr_} + qLeft_ > ram_.size())
            return abort();
        qmode_ = params_[0] == 0x01 ? QMode::ByteIn : QMode::ByteOut;
    }
    Busy(now, t_.vendor, After::ParamAccepted);
}

// ---- channel -----------------------------------------------------------------------------

SimChannel::SimChannel(const SimChannelConfig& cfg, const SimTimings& t)
    : cfg_(cfg), master_(cfg.master, t, false), slave_(cfg.slave, t, true) {}

std::uint32_t SimChannel::Read(int reg, int width, std::uint64_t now) {
    master_.Update(now);
    slave_.Update(now);
    SimAtaDevice& d = Selected();
    if (reg == 0)
        return d.Present() ? d.ReadData(width, now) : (width == 1 ? cfg_.floatingBus : 0xFFFFu);
    if (d.Present()) {
        if (reg == 8)
            return d.status_;
        return d.ReadReg(reg, width, (dc_ & 0x80) != 0);
    }
    // An absent slave behind a present master: the master answers for it, with status 0.
    if (dev_ && master_.Present() && master_.Type() != SimDeviceConfig::Type::Busy) {
        if (reg == 7 || reg == 8)
            return 0;
        return master_.ShadowReg(reg, (dc_ & 0x80) != 0);
    }
    return cfg_.floatingBus;
}

void SimChannel::Write(int reg, std::uint32_t v, int width, std::uint64_t now) {
    master_.Update(now);
    slave_.Update(now);
    auto b = static_cast<std::uint8_t>(v);
    if (reg == 8) {
        bool wasReset = (dc_ & 0x04) != 0;
        dc_ = b;
        if (!wasReset && (b & 0x04)) {
            master_.ResetAsserted();
            slave_.ResetAsserted();
        } else if (wasReset && !(b & 0x04)) {
            master_.ResetReleased(now);
            slave_.ResetReleased(now);
            dev_ = false;
        }
        return;
    }
    if (reg == 0) {
        SimAtaDevice& d = Selected();
        if (d.Present()) {
            d.WriteData(static_cast<std::uint16_t>(v), now);
            if (width == 4)
                d.WriteData(static_cast<std::uint16_t>(v >> 16), now);
        }
        return;
    }
    dc_ &= 0x7F; // any task-file write ends HOB read-back
    if (reg == 7) {
        SimAtaDevice& d = Selected();
        if (d.Present())
            d.Command(b, now);
        return;
    }
    if (reg == 6)
        dev_ = (b & 0x10) != 0;
    master_.WriteReg(reg, b);
    slave_.WriteReg(reg, b);
}

// ---- hardware ----------------------------------------------------------------------------

SimIdeHardware::SimIdeHardware(const SimHardwareConfig& cfg, SimTimings timings)
    : timings_(timings), realClock_(cfg.realClock), map_(65536, -1), counts_(65536, 0) {
    for (std::size_t i = 0; i < cfg.channels.size(); ++i) {
        const SimChannelConfig& c = cfg.channels[i];
        channels_.push_back(std::make_unique<SimChannel>(c, timings_));
        auto base = static_cast<std::int32_t>(i * 16);
        for (int r = 0; r < 8; ++r) {
            int port = c.commandBlock + r;
            if (port > 0xFFFF || map_[static_cast<std::size_t>(port)] != -1)
                throw std::runtime_error("simulated channels overlap or leave the port space");
            map_[static_cast<std::size_t>(port)] = base + r;
        }
        if (map_[c.controlBlock] != -1)
            throw std::runtime_error("simulated control block overlaps another port");
        map_[c.controlBlock] = base + 8;
    }
}

TimeBase& SimIdeHardware::Clock() {
    if (realClock_)
        return steady_;
    return vclock_;
}

std::uint64_t SimIdeHardware::Tick() {
    if (realClock_)
        return steady_.Now();
    vclock_.Advance(timings_.access);
    return vclock_.Peek();
}

std::uint32_t SimIdeHardware::Read(std::uint16_t port, int width) {
    std::lock_guard g(lock_);
    return ReadLocked(port, width);
}

void SimIdeHardware::Write(std::uint16_t port, std::uint32_t value, int width) {
    std::lock_guard g(lock_);
    WriteLocked(port, value, width);
}

void SimIdeHardware::ReadWords(std::uint16_t port, std::uint16_t* dst, std::size_t count) {
    std::lock_guard g(lock_);
    for (std::size_t i = 0; i < count; ++i)
        dst[i] = static_cast<std::uint16_t>(ReadLocked(port, 2));
}

void SimIdeHardware::WriteWords(std::uint16_t port, const std::uint16_t* src, std::size_t count) {
    std::lock_guard g(lock_);
    for (std::size_t i = 0; i < count; ++i)
        WriteLocked(port, src[i], 2);
}

std::uint32_t SimIdeHardware::ReadLocked(std::uint16_t port, int width) {
    if (!open_) {
        ++failed_;
        return 0;
    }
    ++counts_[port];
    std::uint64_t now = Tick();
    std::int32_t m = map_[port];
    std::uint32_t v;
    if (m < 0) {
        v = width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
    } else {
        v = channels_[static_cast<std::size_t>(m / 16)]->Read(m % 16, width, now);
        if (width == 1)
            v &= 0xFF;
        else if (width == 2)
            v &= 0xFFFF;
    }
    if (recording_)
        recorded_.push_back({port, v, static_cast<std::uint8_t>(width), false});
    return v;
}

void SimIdeHardware::WriteLocked(std::uint16_t port, std::uint32_t value, int width) {
    if (!open_) {
        ++failed_;
        return;
    }
    ++counts_[port];
    std::uint64_t now = Tick();
    if (recording_)
        recorded_.push_back({port, value, static_cast<std::uint8_t>(width), true});
    std::int32_t m = map_[port];
    if (m >= 0)
        channels_[static_cast<std::size_t>(m / 16)]->Write(m % 16, value, width, now);
}

std::uint16_t SimIdeHardware::ReadByte(std::uint16_t port) {
    return static_cast<std::uint16_t>(Read(port, 1));
}
void SimIdeHardware::WriteByte(std::uint16_t port, std::uint16_t value) {
    Write(port, value & 0xFF, 1);
}
std::uint16_t SimIdeHardware::ReadWord(std::uint16_t port) {
    return static_cast<std::uint16_t>(Read(port, 2));
}
void SimIdeHardware::WriteWord(std::uint16_t port, std::uint16_t value) {
    Write(port, value, 2);
}
std::uint32_t SimIdeHardware::ReadDWord(std::uint16_t port) {
    return Read(port, 4);
}
void SimIdeHardware::WriteDWord(std::uint16_t port, std::uint32_t value) {
    Write(port, value, 4);
}

std::uint64_t SimIdeHardware::TotalAccesses() const {
    std::uint64_t n = 0;
    for (std::uint64_t c : counts_)
        n += c;
    return n;
}

void SimIdeHardware::ResetCounts() {
    std::lock_guard g(lock_);
    std::fill(counts_.begin(), counts_.end(), 0);
}

void SimIdeHardware::Record(bool on) {
    std::lock_guard g(lock_);
    recording_ = on;
}

std::vector<SimAccess> SimIdeHardware::TakeRecording() {
    std::lock_guard g(lock_);
    return std::exchange(recorded_, {});
}

} // namespace zkv
