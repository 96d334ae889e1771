#include "controllers/ChannelHardware.h"

#include "platform/LinuxAtaPassThrough.h"
#include "platform/LinuxSmallPort.h"
#include "platform/SysfsDeviceSetup.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"
#include "sim/SimPassThrough.h"

#include <stdexcept>

namespace zkv {
namespace {

// The SG_IO backend on a node, opened on the first command so that listing the channels opens
// nothing; a node that cannot be opened fails each command with the reason.
class LazyLinuxPassThrough final : public AtaPassThrough {
public:
    explicit LazyLinuxPassThrough(std::string node) : node_(std::move(node)) {}
    AtaPassThroughResult Execute(const AtaPassThroughCommand& cmd) override {
        std::string why;
        if (!Ready(why)) {
            AtaPassThroughResult r;
            r.outcome = AtaPassThroughResult::Outcome::Failed;
            r.detail = why;
            return r;
        }
        return pt_.Execute(cmd);
    }
    bool ResetDevice(std::string& why) override { return Ready(why) && pt_.ResetDevice(why); }

private:
    bool Ready(std::string& why) {
        if (pt_.IsOpen())
            return true;
        if (pt_.Open(node_, why))
            return true;
        why = node_ + " can not be opened: " + why;
        return false;
    }
    std::string node_;
    LinuxAtaPassThrough pt_;
};

// The port of a process that has none: nothing is ever opened, reads give all ones (a bus
// with nothing on it) and writes go nowhere.
class NoPorts final : public TSmallPort {
public:
    bool OpenDriver() override { return false; }
    void CloseDriver() override {}
    bool IsOpen() const override { return false; }
    std::uint16_t ReadByte(std::uint16_t) override { return 0xFF; }
    void WriteByte(std::uint16_t, std::uint16_t) override {}
    std::uint16_t ReadWord(std::uint16_t) override { return 0xFFFF; }
    void WriteWord(std::uint16_t, std::uint16_t) override {}
    std::uint32_t ReadDWord(std::uint16_t) override { return 0xFFFFFFFFu; }
    void WriteDWord(std::uint16_t, std::uint32_t) override {}
};

} // namespace

ChannelHardware::~ChannelHardware() = default;

std::unique_ptr<ChannelHardware> ChannelHardware::Remote(std::unique_ptr<IDeviceSetup> setup) {
    std::unique_ptr<ChannelHardware> h(new ChannelHardware);
    h->steady_ = std::make_unique<SteadyTimeBase>();
    h->clock_ = h->steady_.get();
    h->setup_ = std::move(setup);
    h->port_ = std::make_unique<NoPorts>();
    h->remote_ = true;
    return h;
}

std::unique_ptr<ChannelHardware> ChannelHardware::Open(const std::string& hardware,
                                                       std::string& error) {
    std::unique_ptr<ChannelHardware> h(new ChannelHardware);
    if (auto sysfs = LinuxDeviceSetup(hardware)) {
        h->steady_ = std::make_unique<SteadyTimeBase>();
        h->clock_ = h->steady_.get();
        h->setup_ = std::move(sysfs);
        // The channel is chosen later: the permission covers the I/O ranges of the listed
        // hard-disk controllers' channels, and no other port.
        std::vector<PortRange> ranges;
        for (const DeviceSetupEntry& e : h->setup_->Enumerate(DeviceClassKind::HardDiskController))
            for (const auto& [start, end] : e.ranges)
                if (start <= end && end <= 0xFFFF && end - start < 256)
                    ranges.push_back({static_cast<std::uint16_t>(start),
                                      static_cast<std::uint16_t>(end - start + 1)});
        h->port_ = std::make_unique<TLinuxSmallPort>(std::move(ranges));
        return h;
    }
    if (hardware.rfind("sim:", 0) == 0) {
        try {
            SimHardwareConfig cfg = LoadSimHardware(hardware.substr(4));
            auto sim = std::make_unique<SimIdeHardware>(cfg);
            h->sim_ = sim.get();
            h->clock_ = &sim->Clock();
            h->setup_ = std::make_unique<SimDeviceSetup>(cfg);
            h->port_ = std::move(sim);
        } catch (const std::exception& e) {
            error = e.what();
            return nullptr;
        }
        return h;
    }
    error = "unknown hardware " + hardware;
    return nullptr;
}

std::function<std::unique_ptr<AtaPassThrough>(const DeviceSetupEntry&)>
ChannelHardware::PassThroughOpener() {
    if (remote_)
        return [](const DeviceSetupEntry&) -> std::unique_ptr<AtaPassThrough> { return nullptr; };
    return PassThroughOpenerFor(sim_);
}

std::function<std::unique_ptr<AtaPassThrough>(const DeviceSetupEntry&)>
ChannelHardware::PassThroughOpenerFor(SimIdeHardware* sim) {
    return [sim](const DeviceSetupEntry& e) -> std::unique_ptr<AtaPassThrough> {
        if (e.passThrough.empty())
            return nullptr;
        if (!sim)
            return std::make_unique<LazyLinuxPassThrough>(e.passThrough);
        std::size_t channel = 0;
        if (!SimDeviceSetup::PassThroughChannel(e.passThrough, channel))
            return nullptr;
        return std::make_unique<SimPassThrough>(*sim, channel, false);
    };
}

bool ChannelHardware::OpenPorts(std::string& error) {
    if (port_->IsOpen() || port_->OpenDriver())
        return true;
    if (auto* lsp = dynamic_cast<TLinuxSmallPort*>(port_.get()))
        error = lsp->LastError();
    else
        error = "the port driver did not open";
    return false;
}

} // namespace zkv
