// IDeviceSetup over the controllers of the simulated hardware file: the same entries the sysfs
// backend gives for such hardware, with drivers that are unbound and bound in memory.
//
// An AHCI controller whose channels are marked "pass_through" is a hard-disk controller with one
// pass-through channel entry per such channel (key "pci-<address>-port<n>", node "simsg<i>",
// block "simd<i>" for channel i of the file); taking one holds it in memory, as the sysfs
// backend holds a disk, refused when the controller is marked in use.
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

    // The simulated channel of a pass-through node ("simsg2" -> 2); false for other names.
    static bool PassThroughChannel(const std::string& node, std::size_t& channel);

private:
    struct Port {
        const SimControllerConfig* controller = nullptr;
        std::size_t channel = 0;
        int number = 0;
    };
    // The pass-through channels of a controller (AHCI only).
    std::vector<Port> Ports(const SimControllerConfig& c) const;
    bool FindPort(const std::string& key, Port& port) const;
    const SimControllerConfig* Find(const std::string& key, std::string* function = nullptr) const;
    void LoadState();
    void SaveState() const; // with lock_ held

    std::string stateFile_;

    std::vector<SimControllerConfig> controllers_;
    std::vector<SimChannelConfig> channels_;
    mutable std::mutex lock_;
    std::map<std::string, std::string> bound_; // address -> driver ("" = none)
    std::vector<std::string> calls_;
    std::map<std::string, bool> held_; // pass-through keys taken
};

} // namespace zkv
