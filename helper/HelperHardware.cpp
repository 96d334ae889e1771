#include "helper/HelperHardware.h"

#include "controllers/ChannelHardware.h"
#include "platform/LinuxSmallPort.h"
#include "platform/SysfsDeviceSetup.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"

#include <cstring>
#include <stdexcept>

namespace zkv::helper {
namespace {
constexpr std::uint32_t kMaxRangePorts = 256;
} // namespace

void RangePort::Set(TSmallPort* inner, std::vector<IoRange> ranges) {
    inner_ = inner;
    ranges_ = std::move(ranges);
}

bool RangePort::Allowed(std::uint16_t port, int width) const {
    const std::uint32_t first = port;
    const std::uint32_t last = first + static_cast<std::uint32_t>(width) - 1;
    for (const IoRange& r : ranges_)
        if (first >= r.start && last <= r.end)
            return true;
    return false;
}

bool RangePort::Check(std::uint16_t port, int width) {
    if (inner_ && Allowed(port, width))
        return true;
    ++refused_;
    ++failed_;
    return false;
}

std::uint16_t RangePort::ReadByte(std::uint16_t port) {
    return Check(port, 1) ? inner_->ReadByte(port) : 0;
}
void RangePort::WriteByte(std::uint16_t port, std::uint16_t value) {
    if (Check(port, 1))
        inner_->WriteByte(port, value);
}
std::uint16_t RangePort::ReadWord(std::uint16_t port) {
    return Check(port, 2) ? inner_->ReadWord(port) : 0;
}
void RangePort::WriteWord(std::uint16_t port, std::uint16_t value) {
    if (Check(port, 2))
        inner_->WriteWord(port, value);
}
std::uint32_t RangePort::ReadDWord(std::uint16_t port) {
    return Check(port, 4) ? inner_->ReadDWord(port) : 0;
}
void RangePort::WriteDWord(std::uint16_t port, std::uint32_t value) {
    if (Check(port, 4))
        inner_->WriteDWord(port, value);
}
void RangePort::ReadWords(std::uint16_t port, std::uint16_t* dst, std::size_t count) {
    if (Check(port, 2))
        inner_->ReadWords(port, dst, count);
    else if (count)
        std::memset(dst, 0, count * sizeof *dst);
}
void RangePort::WriteWords(std::uint16_t port, const std::uint16_t* src, std::size_t count) {
    if (Check(port, 2))
        inner_->WriteWords(port, src, count);
}

HelperHardware::~HelperHardware() {
    Revoke();
}

std::unique_ptr<HelperHardware> HelperHardware::Open(const std::string& hardware,
                                                     std::string& error) {
    std::unique_ptr<HelperHardware> h(new HelperHardware);
    if (auto sysfs = LinuxDeviceSetup(hardware)) {
        h->steady_ = std::make_unique<SteadyTimeBase>();
        h->clock_ = h->steady_.get();
        h->setup_ = std::move(sysfs);
        return h;
    }
    if (hardware.rfind("sim:", 0) == 0) {
        try {
            SimHardwareConfig cfg = LoadSimHardware(hardware.substr(4));
            h->sim_ = std::make_unique<SimIdeHardware>(cfg);
            h->sim_->OpenDriver();
            h->clock_ = &h->sim_->Clock();
            h->setup_ = std::make_unique<SimDeviceSetup>(cfg);
        } catch (const std::exception& e) {
            error = e.what();
            return nullptr;
        }
        return h;
    }
    error = "unknown hardware " + hardware;
    return nullptr;
}

bool HelperHardware::Grant(const std::vector<IoRange>& ranges, std::string& error) {
    Revoke();
    if (ranges.empty()) {
        error = "the channel has no I/O ranges";
        return false;
    }
    std::vector<PortRange> linuxRanges;
    for (const IoRange& r : ranges) {
        // A channel's blocks are a few ports each; anything wider is not a channel's.
        if (r.end < r.start || r.end > 0xFFFF || r.end - r.start >= kMaxRangePorts) {
            error = "an I/O range lies outside the port space or is too wide";
            return false;
        }
        linuxRanges.push_back(
            {static_cast<std::uint16_t>(r.start), static_cast<std::uint16_t>(r.end - r.start + 1)});
    }
    if (sim_) {
        gate_.Set(sim_.get(), ranges);
        return true;
    }
    // A non-empty list of non-empty ranges: TLinuxSmallPort asks ioperm for each, never iopl.
    auto port = std::make_unique<TLinuxSmallPort>(std::move(linuxRanges));
    if (!port->OpenDriver()) {
        error = port->LastError();
        return false;
    }
    linuxPort_ = std::move(port);
    gate_.Set(linuxPort_.get(), ranges);
    return true;
}

std::function<std::unique_ptr<AtaPassThrough>(const DeviceSetupEntry&)>
HelperHardware::PassThroughOpener() {
    return ChannelHardware::PassThroughOpenerFor(sim_.get());
}

void HelperHardware::Revoke() {
    passThrough_ = false;
    gate_.Set(nullptr, {});
    linuxPort_.reset(); // its destructor turns ioperm off for its ranges
}

} // namespace zkv::helper
