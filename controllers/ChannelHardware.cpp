#include "controllers/ChannelHardware.h"

#include "platform/LinuxSmallPort.h"
#include "platform/SysfsDeviceSetup.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"

#include <stdexcept>

namespace zkv {

ChannelHardware::~ChannelHardware() = default;

std::unique_ptr<ChannelHardware> ChannelHardware::Open(const std::string& hardware,
                                                       std::string& error) {
    std::unique_ptr<ChannelHardware> h(new ChannelHardware);
    if (hardware == "linux" || hardware.rfind("linux:", 0) == 0) {
        // The channel is chosen later, so the permission covers every port.
        h->port_ = std::make_unique<TLinuxSmallPort>(std::vector<PortRange>{});
        h->steady_ = std::make_unique<SteadyTimeBase>();
        h->clock_ = h->steady_.get();
        const std::string root = hardware.size() > 6 ? hardware.substr(6) : "/";
        h->setup_ = std::make_unique<SysfsDeviceSetup>(root);
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
