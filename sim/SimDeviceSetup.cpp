#include "sim/SimDeviceSetup.h"

#include <fstream>
#include <sstream>

#include <cstdio>

namespace zkv {
namespace {

std::string Hex(unsigned long v, int width) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%0*lX", width, v);
    return buf;
}

} // namespace

SimDeviceSetup::SimDeviceSetup(const SimHardwareConfig& cfg)
    : stateFile_(cfg.setupState), controllers_(cfg.controllers), channels_(cfg.channels) {
    for (const auto& c : controllers_)
        bound_[c.address] = c.driver;
    LoadState();
}

// The state file: one line per controller, "bound ADDRESS DRIVER" (no driver: unbound), and
// "held KEY" per pass-through channel taken.
void SimDeviceSetup::LoadState() {
    if (stateFile_.empty())
        return;
    std::ifstream in(stateFile_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string what, name, driver;
        s >> what >> name >> driver;
        if (what == "bound" && bound_.count(name))
            bound_[name] = driver;
        else if (what == "held" && !name.empty())
            held_[name] = true;
    }
}

void SimDeviceSetup::SaveState() const {
    if (stateFile_.empty())
        return;
    std::ofstream out(stateFile_, std::ios::trunc);
    for (const auto& [address, driver] : bound_)
        out << "bound " << address << ' ' << driver << '\n';
    for (const auto& [key, held] : held_)
        if (held)
            out << "held " << key << '\n';
}

bool SimDeviceSetup::PassThroughChannel(const std::string& node, std::size_t& channel) {
    if (node.size() < 6 || node.size() > 8 || node.compare(0, 5, "simsg") != 0)
        return false;
    std::size_t v = 0;
    for (std::size_t i = 5; i < node.size(); ++i) {
        if (node[i] < '0' || node[i] > '9')
            return false;
        v = v * 10 + static_cast<std::size_t>(node[i] - '0');
    }
    channel = v;
    return true;
}

std::vector<SimDeviceSetup::Port> SimDeviceSetup::Ports(const SimControllerConfig& c) const {
    std::vector<Port> out;
    if (c.kind != SimControllerConfig::Kind::Ahci)
        return out;
    for (std::size_t k = 0; k < c.channels.size(); ++k) {
        const int index = c.channels[k];
        if (index < 0 || static_cast<std::size_t>(index) >= channels_.size() ||
            !channels_[static_cast<std::size_t>(index)].passThrough)
            continue;
        out.push_back({&c, static_cast<std::size_t>(index), static_cast<int>(k) + 1});
    }
    return out;
}

bool SimDeviceSetup::FindPort(const std::string& key, Port& port) const {
    for (const auto& c : controllers_)
        for (const Port& p : Ports(c))
            if (key == "pci-" + c.address + "-port" + std::to_string(p.number)) {
                port = p;
                return true;
            }
    return false;
}

const SimControllerConfig* SimDeviceSetup::Find(const std::string& key,
                                                std::string* function) const {
    std::string fn;
    int channel = 0;
    if (!ParseDeviceKey(key, fn, channel))
        return nullptr;
    for (const auto& c : controllers_)
        if (c.address == fn) {
            if (function)
                *function = fn;
            return &c;
        }
    return nullptr;
}

std::vector<DeviceSetupEntry> SimDeviceSetup::Enumerate(DeviceClassKind kind) {
    using K = SimControllerConfig::Kind;
    std::lock_guard g(lock_);
    std::vector<DeviceSetupEntry> out;
    for (const auto& c : controllers_) {
        const std::vector<Port> ports = Ports(c);
        const bool ide = c.kind == K::Ide;
        if ((ide || !ports.empty()) != (kind == DeviceClassKind::HardDiskController))
            continue;
        unsigned cls = 0x010180;
        switch (c.kind) {
        case K::Ide:
            cls = c.native ? 0x010185 : 0x010180;
            break;
        case K::Raid:
            cls = 0x010400;
            break;
        case K::Ahci:
            cls = 0x010601;
            break;
        case K::Scsi:
            cls = 0x010000;
            break;
        case K::Nvme:
            cls = 0x010802;
            break;
        }
        unsigned dom = 0, bus = 0, dev = 0, func = 0;
        std::sscanf(c.address.c_str(), "%x:%x:%x.%x", &dom, &bus, &dev, &func);
        DeviceSetupEntry base;
        base.kind = kind;
        base.function = c.address;
        base.hardwareId = "PCI\\VEN_" + Hex(c.vendor, 4) + "&DEV_" + Hex(c.device, 4) + "&SUBSYS_" +
                          Hex(c.subsystem, 8) + "&REV_" + Hex(c.revision, 2);
        base.compatibleIds = "PCI\\CC_" + Hex(cls, 6);
        base.className = ide ? "HDC" : "SCSIAdapter";
        base.classGuid = ide ? "{4D36E96A-E325-11CE-BFC1-08002BE10318}"
                             : "{4D36E97B-E325-11CE-BFC1-08002BE10318}";
        base.mfg = "Simulated vendor " + Hex(c.vendor, 4);
        base.location = "PCI bus " + std::to_string(bus) + ", device " + std::to_string(dev) +
                        ", function " + std::to_string(func);
        base.objectName = "/sys/bus/pci/devices/" + c.address;
        base.busNumber = static_cast<std::int32_t>(bus);
        base.deviceAddress = static_cast<std::int32_t>((dev << 16) | func);
        const std::string& driver = bound_[c.address];
        base.service = driver.empty() ? "none" : driver;
        base.deviceDesc = !c.description.empty() ? c.description
                          : ide                  ? "Simulated PCI IDE controller"
                                                 : "Simulated storage adapter";
        base.ranges = c.ranges;
        if (!ports.empty()) {
            base.className = "HDC";
            base.classGuid = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
        }
        DeviceSetupEntry top = base;
        top.key = MakeDeviceKey(c.address, 0);
        top.passThroughHost = !ports.empty();
        out.push_back(top);
        for (const Port& p : ports) {
            DeviceSetupEntry e = base;
            e.channel = 1;
            e.key = "pci-" + c.address + "-port" + std::to_string(p.number);
            e.service = "passthrough";
            e.deviceDesc = "SATA port " + std::to_string(p.number);
            e.location = base.location + ", port " + std::to_string(p.number);
            e.ranges.clear();
            e.passThrough = "simsg" + std::to_string(p.channel);
            e.block = "simd" + std::to_string(p.channel);
            out.push_back(e);
        }
        if (!ide)
            continue;
        for (int ch = 1; ch <= 2; ++ch) {
            DeviceSetupEntry e = base;
            e.channel = ch;
            e.key = MakeDeviceKey(c.address, ch);
            e.service = "atapi";
            e.deviceDesc = ch == 1 ? "Primary IDE Channel" : "Secondary IDE Channel";
            const std::size_t pos = static_cast<std::size_t>(ch - 1);
            const int index = pos < c.channels.size() ? c.channels[pos] : -1;
            if (index >= 0 && static_cast<std::size_t>(index) < channels_.size()) {
                const SimChannelConfig& sc = channels_[static_cast<std::size_t>(index)];
                e.ranges = {{sc.commandBlock, sc.commandBlock + 7u},
                            {sc.controlBlock, sc.controlBlock}};
            } else if (ch == 1) {
                e.ranges = {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}};
            } else {
                e.ranges = {{0x170, 0x177}, {0x376, 0x376}};
            }
            out.push_back(e);
        }
    }
    return out;
}

void SimDeviceSetup::SetInUse(const std::string& address, bool inUse) {
    std::lock_guard g(lock_);
    for (auto& c : controllers_)
        if (c.address == address)
            c.inUse = inUse;
}

DeviceStatus SimDeviceSetup::Status(const std::string& key) {
    std::lock_guard g(lock_);
    DeviceStatus st;
    if (Port p; FindPort(key, p)) {
        st.present = true;
        st.driver = "passthrough";
        st.disabled = held_.count(key) != 0;
        st.disableable = st.disabled || !p.controller->inUse;
        if (!st.disableable)
            st.reason = "a disk behind it holds a mounted file system";
        return st;
    }
    const SimControllerConfig* c = Find(key);
    if (!c)
        return st;
    st.present = true;
    st.driver = bound_[c->address];
    st.disabled = st.driver.empty();
    st.disableable = !c->inUse;
    if (c->inUse)
        st.reason = "a disk behind it holds a mounted file system";
    return st;
}

DeviceChange SimDeviceSetup::Disable(const std::string& key) {
    DeviceStatus st = Status(key);
    std::lock_guard g(lock_);
    calls_.push_back("disable " + key);
    DeviceChange ch;
    if (Port p; FindPort(key, p)) {
        if (!st.disableable) {
            ch.error = st.reason;
            ch.inUse = true;
            return ch;
        }
        held_[key] = true;
        SaveState();
        ch.ok = true;
        ch.driver = "passthrough";
        return ch;
    }
    std::string fn;
    const SimControllerConfig* c = Find(key, &fn);
    if (!c) {
        ch.error = "no such device " + key;
        return ch;
    }
    if (!st.disableable) {
        ch.error = st.reason;
        return ch;
    }
    ch.ok = true;
    ch.driver = bound_[fn];
    ch.restartNeeded = c->restartNeeded;
    bound_[fn].clear();
    SaveState();
    return ch;
}

DeviceChange SimDeviceSetup::Enable(const std::string& key, const std::string& driver) {
    std::lock_guard g(lock_);
    calls_.push_back("enable " + key + " " + driver);
    DeviceChange ch;
    if (Port p; FindPort(key, p)) {
        held_.erase(key);
        SaveState();
        ch.ok = true;
        ch.driver = "passthrough";
        return ch;
    }
    std::string fn;
    const SimControllerConfig* c = Find(key, &fn);
    if (!c) {
        ch.error = "no such device " + key;
        return ch;
    }
    if (!bound_[fn].empty()) {
        ch.ok = true;
        ch.driver = bound_[fn];
        return ch;
    }
    if (driver.empty()) {
        ch.error = "no driver to bind to " + key;
        return ch;
    }
    bound_[fn] = driver;
    SaveState();
    ch.ok = true;
    ch.driver = driver;
    ch.restartNeeded = c->restartNeeded;
    return ch;
}

std::vector<std::string> SimDeviceSetup::Calls() const {
    std::lock_guard g(lock_);
    return calls_;
}

} // namespace zkv
