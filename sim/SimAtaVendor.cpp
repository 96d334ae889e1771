// The simulated disk's vendor commands: reads of its RAM through 0xF0-0xF3, and the nine-byte
// parameter mode of 0xFA with its byte-by-byte RAM read and write.
#include "sim/SimAtaDevice.h"

namespace zkv {

bool SimAtaDevice::RamAt(std::uint64_t a, int n, std::uint32_t& out) const {
    if (a + static_cast<std::uint64_t>(n) > ram_.size())
        return false;
    out = 0;
    for (int i = 0; i < n; ++i)
        out |= std::uint32_t{ram_[a + static_cast<std::uint64_t>(i)]} << (8 * i);
    return true;
}

void SimAtaDevice::Vendor(std::uint8_t op, std::uint64_t now) {
    auto abort = [&] {
        failError_ = kABRT;
        Busy(now, t_.vendor, After::Fail);
    };
    std::uint32_t v = 0;
    // The value read leaves in a data phase through the register `port`.
    auto dataPhase = [&](int port) {
        vendorValue_ = v;
        vendorPort_ = port;
        Busy(now, t_.vendor, After::VendorDrq);
    };
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
        return dataPhase(4);
    }
    case 0xF2: {
        std::uint32_t a = (std::uint32_t{ch_} << 24) | (std::uint32_t{cl_} << 16) |
                          (std::uint32_t{sn_} << 8) | sc_;
        if (!RamAt(a, 1, v))
            return abort();
        if (!RamAt(a, 4, v) && !RamAt(a, 2, v))
            RamAt(a, 1, v);
        return dataPhase(2);
    }
    case 0xF3: {
        std::uint32_t a = (std::uint32_t{dataLatch_} << 16) | (std::uint32_t{ch_} << 8) | cl_;
        if (!RamAt(a, 2, v))
            return abort();
        return dataPhase(1);
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

} // namespace zkv
