// The simulated IDE hardware's port side: a channel decodes its task-file and control-block
// registers onto the selected device (SRST, device selection, HOB read-back, a floating bus
// where no device answers), and the hardware maps port numbers onto channels, keeps the clock,
// counts and records the accesses and serialises them under one lock.
#include "sim/SimIde.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace zkv {

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
