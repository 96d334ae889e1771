#include "helper/HelperDeviceSetup.h"

#include <stdexcept>

namespace zkv::helper {

std::vector<DeviceSetupEntry> HelperDeviceSetup::Enumerate(DeviceClassKind kind) {
    std::vector<ListEntry> list;
    std::string error;
    if (!client_.List(list, error))
        throw std::runtime_error("the disk helper did not list the controllers: " + error);
    std::vector<DeviceSetupEntry> out;
    for (ListEntry& e : list)
        if (e.setup.kind == kind)
            out.push_back(std::move(e.setup));
    return out;
}

bool HelperDeviceSetup::Find(const std::string& key, ListEntry& entry) {
    std::vector<ListEntry> list;
    std::string error;
    if (!client_.List(list, error))
        return false;
    for (ListEntry& e : list)
        if (e.key == key) {
            entry = std::move(e);
            return true;
        }
    return false;
}

DeviceStatus HelperDeviceSetup::Status(const std::string& key) {
    DeviceStatus st;
    ListEntry e;
    if (!Find(key, e))
        return st;
    st.present = true;
    st.disabled = e.disabled;
    st.disableable = e.disableable;
    st.driver = e.driver;
    st.reason = e.reason;
    return st;
}

DeviceChange HelperDeviceSetup::Disable(const std::string& key) {
    DeviceChange ch;
    ChannelReply reply;
    std::string error;
    if (!client_.Take(key, reply, error)) {
        ch.error = error;
        return ch;
    }
    ch.ok = reply.ok;
    ch.restartNeeded = reply.restartNeeded;
    if (!reply.ok) {
        ch.error = reply.message;
        ListEntry e;
        ch.inUse = Find(key, e) && !e.disableable;
    }
    return ch;
}

DeviceChange HelperDeviceSetup::Enable(const std::string& key, const std::string& driver) {
    DeviceChange ch;
    ch.driver = driver;
    ListEntry e;
    if (!Find(key, e) || !e.taken) {
        ch.ok = true; // not this helper's to give back
        return ch;
    }
    ChannelReply reply;
    std::string error;
    if (!client_.Give(key, reply, error)) {
        ch.error = error;
        return ch;
    }
    ch.ok = reply.ok;
    ch.restartNeeded = reply.restartNeeded;
    ch.error = reply.message;
    return ch;
}

ChannelSessionOptions::Remote HelperChannels(DiskHelperClient& client) {
    ChannelSessionOptions::Remote r;
    r.setup = [&client] { return std::make_unique<HelperDeviceSetup>(client); };
    r.engine = [&client](TControllerInfo& entry) -> std::unique_ptr<TControllerInfo> {
        if (!entry.Drivable())
            return nullptr;
        return std::make_unique<THelperChannel>(client, entry.Driver, &entry);
    };
    return r;
}

} // namespace zkv::helper
