// The simulated drive's command set: the dispatch of an opcode written to the command register
// (disk and packet device), the transfers that read, write, verify and read long, the IDENTIFY
// blocks, and the defect and timing model those commands consult (which sector fails with which
// error, which ranges are slow).
#include "sim/SimAtaDevice.h"

#include <algorithm>
#include <string>

namespace zkv {
namespace {

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

} // namespace zkv
