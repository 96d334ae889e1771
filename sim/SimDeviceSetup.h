// IDeviceSetup over the controllers of the simulated hardware file: the same entries the sysfs
// backend gives for such hardware, with drivers that are unbound and bound in memory.
#pragma once

#include "platform/DeviceSetup.h"
#include "sim/SimIde.h"

#include <map>
#include <mutex>

namespace zkv {

class SimDeviceSetup final : public IDeviceSetup {
public:
    explicit SimDeviceSetup(const SimHardwareConfig& cfg);

    std::vector<DeviceSetupEntry> Enumerate(DeviceClassKind kind) override;
    DeviceStatus Status(const std::string& key) override;
    DeviceChange Disable(const std::string& key) override;
    DeviceChange Enable(const std::string& key, const std::string& driver) override;

    // The disk behind the controller at `address` is mounted (or unmounted) meanwhile.
    void SetInUse(const std::string& address, bool inUse);
    // What was asked, oldest first: "disable KEY", "enable KEY DRIVER".
    std::vector<std::string> Calls() const;

private:
    const SimControllerConfig* Find(const std::string& key, std::string* function = nullptr) const;

    std::vector<SimControllerConfig> controllers_;
    std::vector<SimChannelConfig> channels_;
    mutable std::mutex lock_;
    std::map<std::string, std::string> bound_; // address -> driver ("" = none)
    std::vector<std::string> calls_;
};

} // namespace zkv
