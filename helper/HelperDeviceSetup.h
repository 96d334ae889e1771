// The device setup as the client sees it when the disk helper holds the hardware: the entries
// and their status come from LIST, taking a channel is TAKE and giving it back is GIVE. The
// client then opens no sysfs file for writing; the helper does the unbind and the bind.
//
// A give-back of a channel this helper did not take (a mark left in the user's settings by an
// earlier run) asks nothing: the helper gives back at its own end, and a channel a crashed
// helper left taken is given back by the next helper's start from its crash record.
#pragma once

#include "controllers/ChannelSession.h"
#include "helper/HelperClient.h"
#include "platform/DeviceSetup.h"

namespace zkv::helper {

class HelperDeviceSetup final : public IDeviceSetup {
public:
    explicit HelperDeviceSetup(DiskHelperClient& client) : client_(client) {}

    std::vector<DeviceSetupEntry> Enumerate(DeviceClassKind kind) override;
    DeviceStatus Status(const std::string& key) override;
    DeviceChange Disable(const std::string& key) override;
    DeviceChange Enable(const std::string& key, const std::string& driver) override;

private:
    // The entry `key` of a fresh LIST; false when the helper could not be asked or has none.
    bool Find(const std::string& key, ListEntry& entry);

    DiskHelperClient& client_;
};

// A channel session over the hardware `client`'s helper holds: the device setup above, and a
// THelperChannel as the engine of every channel entry. `client` must outlive the session.
ChannelSessionOptions::Remote HelperChannels(DiskHelperClient& client);

} // namespace zkv::helper
