// The simulated device's task file: register reads (with the 48-bit registers' previous content
// for HOB read-back, and the vendor data phases that leave through a register), register
// writes, and the sector address and count in the CHS, LBA28 and LBA48 forms.
#include "sim/SimAtaDevice.h"

namespace zkv {

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

} // namespace zkv
