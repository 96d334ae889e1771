#include "platform/SysfsDeviceSetup.h"

#include "platform/LinuxAtaPassThrough.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#ifdef ZKV_HAVE_LIBPCI
extern "C" {
#include <pci/pci.h>
}
#endif

namespace zkv {
namespace fs = std::filesystem;

namespace {

constexpr const char* kHdcGuid = "{4D36E96A-E325-11CE-BFC1-08002BE10318}";
constexpr const char* kRaidGuid = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";
constexpr unsigned long kIoResource = 0x100;

std::string ReadFirstLine(const fs::path& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

unsigned long ReadHex(const fs::path& p) {
    std::string s = ReadFirstLine(p);
    if (s.empty())
        return 0;
    try {
        return std::stoul(s, nullptr, 16);
    } catch (...) {
        return 0;
    }
}

std::string Hex(unsigned long v, int width) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%0*lX", width, v);
    return buf;
}

struct Bar {
    std::uint32_t start = 0, end = 0;
    bool io = false;
};

std::vector<Bar> ReadBars(const fs::path& function) {
    std::vector<Bar> bars;
    std::ifstream in(function / "resource");
    std::string line;
    while (bars.size() < 6 && std::getline(in, line)) {
        std::istringstream ls(line);
        std::string a, b, c;
        ls >> a >> b >> c;
        Bar bar;
        try {
            unsigned long long s = std::stoull(a, nullptr, 16), e = std::stoull(b, nullptr, 16),
                               f = std::stoull(c, nullptr, 16);
            bar.io = (f & kIoResource) != 0 && e >= s && e <= 0xFFFF;
            bar.start = static_cast<std::uint32_t>(s);
            bar.end = static_cast<std::uint32_t>(e);
        } catch (...) {
        }
        bars.push_back(bar);
    }
    bars.resize(6);
    return bars;
}

std::string DriverOf(const fs::path& function) {
    std::error_code ec;
    fs::path link = fs::read_symlink(function / "driver", ec);
    if (ec)
        return {};
    return link.filename().string();
}

bool ValidName(const std::string& s) {
    return !s.empty() && s.size() < 64 && s.find('/') == std::string::npos && s != "." &&
           s != ".." && s.find('\n') == std::string::npos;
}

bool WriteAttr(const fs::path& p, const std::string& value, std::string& error) {
    std::FILE* f = std::fopen(p.c_str(), "w");
    if (!f) {
        error = "cannot open " + p.string();
        return false;
    }
    bool ok = std::fputs(value.c_str(), f) >= 0;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        error = "the kernel refused the write to " + p.string();
    return ok;
}

// The walk below a function stops after this many directory entries.
constexpr int kMaxWalk = 20000;
constexpr unsigned long kUsbHostClass = 0x0C03;

// A USB device's sysfs name: "2-1", "2-1.3" (bus, then ports), no interface part.
bool UsbDeviceName(const std::string& n) {
    const auto dash = n.find('-');
    if (dash == 0 || dash == std::string::npos || n.find(':') != std::string::npos)
        return false;
    return std::all_of(n.begin(), n.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '-' || c == '.'; });
}

// "ata3" -> 3; 0 for any other name.
int AtaPortNumber(const std::string& n) {
    if (n.size() < 4 || n.compare(0, 3, "ata") != 0 || n.size() > 8)
        return 0;
    int v = 0;
    for (std::size_t i = 3; i < n.size(); ++i) {
        if (n[i] < '0' || n[i] > '9')
            return 0;
        v = v * 10 + (n[i] - '0');
    }
    return v;
}

std::string FirstChild(const fs::path& dir) {
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        names.push_back(e.path().filename().string());
        if (names.size() > 64)
            break;
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

#ifdef ZKV_HAVE_LIBPCI
void Quiet(char*, ...) {}
// libpci's fatal errors (a damaged ID file, no memory) must not return into it: they leave
// the lookup in progress through this escape, and names are then given up for the run.
thread_local std::jmp_buf* pciEscape = nullptr;
__attribute__((noreturn)) void PciFatal(char*, ...) {
    if (pciEscape)
        std::longjmp(*pciEscape, 1);
    std::abort();
}
std::atomic<bool> pciNamesFailed{false};
#endif

} // namespace

SysfsDeviceSetup::SysfsDeviceSetup(fs::path root, BlockDeviceUse::ClaimFn claim)
    : root_(std::move(root)), use_(root_, std::move(claim)) {}

SysfsDeviceSetup::~SysfsDeviceSetup() {
    for (auto& [key, hold] : holds_)
        for (int fd : hold.fds)
            ::close(fd);
#ifdef ZKV_HAVE_LIBPCI
    if (pci_ && !pciNamesFailed) // after an escape its state is left alone
        pci_cleanup(static_cast<pci_access*>(pci_));
#endif
}

std::pair<std::string, std::string> SysfsDeviceSetup::PciNames(std::uint16_t vendor,
                                                               std::uint16_t device) {
#ifdef ZKV_HAVE_LIBPCI
    if (!pci_) {
        // Only the name lookup is used, never pci_init(): the messages it would set up are
        // set here. The ID file missing sends the lookup on to udev's hardware database, which
        // announces itself through `debug`; a damaged ID file is reported through `error`,
        // which must never return: PciFatal leaves the lookup, and the names are the numbers.
        pci_access* a = pci_alloc();
        a->warning = &Quiet;
        a->debug = &Quiet;
        a->error = &PciFatal;
        pci_ = a;
    }
    if (pciNamesFailed)
        return {};
    auto* a = static_cast<pci_access*>(pci_);
    char v[256] = {}, d[256] = {};
    std::jmp_buf escape;
    if (setjmp(escape) != 0) {
        pciEscape = nullptr;
        pciNamesFailed = true; // libpci's state is not to be trusted again
        return {};
    }
    pciEscape = &escape;
    pci_lookup_name(a, v, sizeof v, PCI_LOOKUP_VENDOR | PCI_LOOKUP_NO_NUMBERS, vendor);
    pci_lookup_name(a, d, sizeof d, PCI_LOOKUP_DEVICE | PCI_LOOKUP_NO_NUMBERS, vendor, device);
    pciEscape = nullptr;
    return {v, d};
#else
    (void)vendor;
    (void)device;
    return {};
#endif
}

std::vector<DeviceSetupEntry> SysfsDeviceSetup::Enumerate(DeviceClassKind kind) {
    std::vector<DeviceSetupEntry> out;
    std::error_code ec;
    std::vector<fs::path> functions;
    for (const auto& e : fs::directory_iterator(Devices(), ec))
        functions.push_back(e.path());
    if (ec)
        throw std::runtime_error("cannot list " + Devices().string() + ": " + ec.message());
    std::sort(functions.begin(), functions.end());
    for (const fs::path& fn : functions) {
        const unsigned long cls = ReadHex(fn / "class");
        const bool usbHost = (cls >> 8) == kUsbHostClass;
        if ((cls >> 16) != 0x01 && !usbHost)
            continue;
        const bool ide = ((cls >> 8) & 0xFF) == 0x01 && !usbHost;
        // A function with disks reached through pass-through is a controller of its own.
        const std::vector<PassThroughPort> ports =
            ide ? std::vector<PassThroughPort>{} : PassThroughPorts(fn);
        if (usbHost && ports.empty())
            continue;
        if ((ide || !ports.empty()) != (kind == DeviceClassKind::HardDiskController))
            continue;
        const unsigned progIf = cls & 0xFF;
        const auto vendor = static_cast<std::uint16_t>(ReadHex(fn / "vendor"));
        const auto device = static_cast<std::uint16_t>(ReadHex(fn / "device"));
        const unsigned long subVendor = ReadHex(fn / "subsystem_vendor");
        const unsigned long subDevice = ReadHex(fn / "subsystem_device");
        const unsigned long revision = ReadHex(fn / "revision");
        const std::string address = fn.filename().string();
        unsigned dom = 0, bus = 0, dev = 0, func = 0;
        std::sscanf(address.c_str(), "%x:%x:%x.%x", &dom, &bus, &dev, &func);
        auto [vendorName, deviceName] = PciNames(vendor, device);
        const std::string driver = DriverOf(fn);
        const std::vector<Bar> bars = ReadBars(fn);

        DeviceSetupEntry base;
        base.kind = kind;
        base.function = address;
        base.hardwareId = "PCI\\VEN_" + Hex(vendor, 4) + "&DEV_" + Hex(device, 4) + "&SUBSYS_" +
                          Hex(subDevice, 4) + Hex(subVendor, 4) + "&REV_" + Hex(revision, 2);
        base.compatibleIds = "PCI\\CC_" + Hex(cls, 6);
        base.className = ide ? "HDC" : "SCSIAdapter";
        base.classGuid = ide ? kHdcGuid : kRaidGuid;
        base.mfg = vendorName.empty() ? "PCI vendor " + Hex(vendor, 4) : vendorName;
        base.location = "PCI bus " + std::to_string(bus) + ", device " + std::to_string(dev) +
                        ", function " + std::to_string(func);
        base.objectName = "/sys/bus/pci/devices/" + address;
        base.busNumber = static_cast<std::int32_t>(bus);
        base.deviceAddress = static_cast<std::int32_t>((dev << 16) | func);
        base.service = driver.empty() ? "none" : driver;
        base.deviceDesc = deviceName.empty()
                              ? (ide ? "PCI IDE controller " : "PCI storage adapter ") +
                                    Hex(vendor, 4) + ":" + Hex(device, 4)
                              : deviceName;
        for (const Bar& b : bars)
            if (b.io)
                base.ranges.emplace_back(b.start, b.end);

        if (!ports.empty()) {
            base.className = "HDC";
            base.classGuid = kHdcGuid;
            if (deviceName.empty())
                base.deviceDesc = (usbHost ? "PCI USB controller " : "PCI SATA controller ") +
                                  Hex(vendor, 4) + ":" + Hex(device, 4);
        }
        DeviceSetupEntry top = base;
        top.key = MakeDeviceKey(address, 0);
        top.passThroughHost = !ports.empty();
        out.push_back(top);
        for (const PassThroughPort& p : ports) {
            DeviceSetupEntry e = base;
            e.key = p.key;
            e.channel = 1;
            e.service = "passthrough";
            e.deviceDesc =
                usbHost ? "USB disk " + p.usbPath : "SATA port " + std::to_string(p.port);
            e.location = base.location + ", " + p.location;
            e.objectName = "/sys/" + fs::relative(p.scsi, root_ / "sys").string();
            e.ranges.clear();
            e.passThrough = "/dev/" + p.sg;
            e.block = p.block;
            out.push_back(e);
        }
        if (!ide)
            continue;
        for (int ch = 1; ch <= 2; ++ch) {
            DeviceSetupEntry e = base;
            e.channel = ch;
            e.key = MakeDeviceKey(address, ch);
            e.service = "atapi";
            e.deviceDesc = ch == 1 ? "Primary IDE Channel" : "Secondary IDE Channel";
            e.ranges.clear();
            const bool native = (progIf & (ch == 1 ? 0x01 : 0x04)) != 0;
            if (!native) {
                if (ch == 1)
                    e.ranges = {{0x1F0, 0x1F7}, {0x3F6, 0x3F6}};
                else
                    e.ranges = {{0x170, 0x177}, {0x376, 0x376}};
            } else {
                // Native mode: the command block and the control block's 4-byte BAR, whose
                // third byte is the alternate status / device control register.
                const Bar& cmd = bars[ch == 1 ? 0 : 2];
                const Bar& ctl = bars[ch == 1 ? 1 : 3];
                if (cmd.io && ctl.io && cmd.start != 0 && ctl.start != 0)
                    e.ranges = {{cmd.start, cmd.end}, {ctl.start + 2, ctl.start + 2}};
            }
            out.push_back(e);
        }
    }
    return out;
}

std::string SysfsDeviceSetup::InUse(const fs::path& function, bool strict) const {
    return use_.InUse(use_.Below(function), strict);
}

std::vector<SysfsDeviceSetup::PassThroughPort>
SysfsDeviceSetup::PassThroughPorts(const fs::path& function) const {
    std::vector<PassThroughPort> out;
    std::error_code ec;
    const fs::path top = fs::canonical(function, ec);
    if (ec)
        return out;
    const std::string address = top.filename().string();
    int seen = 0;
    // Symbolic links (subsystem, driver, device) are not followed: the walk stays in the
    // function's own subtree.
    fs::recursive_directory_iterator it(top, fs::directory_options::skip_permission_denied, ec),
        end;
    for (; !ec && it != end; it.increment(ec)) {
        if (++seen > kMaxWalk || it.depth() > 16)
            break;
        if (it->path().filename() != "scsi_generic" || it->is_symlink(ec) || !it->is_directory(ec))
            continue;
        it.disable_recursion_pending();
        PassThroughPort p;
        p.function = address;
        p.scsi = it->path().parent_path();
        p.sg = FirstChild(it->path());
        if (p.sg.empty() || p.sg.compare(0, 2, "sg") != 0 || !ValidName(p.sg))
            continue;
        p.block = FirstChild(p.scsi / "block");
        if (!p.block.empty() && !ValidName(p.block))
            p.block.clear();
        // The port (libata) or the USB device the SCSI device sits behind.
        for (const auto& part : fs::relative(p.scsi, top)) {
            const std::string n = part.string();
            if (int port = AtaPortNumber(n); port != 0 && p.port == 0 && p.usbPath.empty()) {
                p.port = port;
                const std::string no = ReadFirstLine(top / n / "ata_port" / n / "port_no");
                if (!no.empty() && no.size() < 4 &&
                    std::all_of(no.begin(), no.end(), [](char c) { return c >= '0' && c <= '9'; }))
                    p.port = std::stoi(no);
            } else if (UsbDeviceName(n)) {
                p.usbPath = n; // the deepest one: the disk's own device
            }
        }
        if (!p.usbPath.empty()) {
            p.key = "usb-" + p.usbPath;
            p.location = "USB " + p.usbPath;
        } else if (p.port != 0) {
            p.key = "pci-" + address + "-port" + std::to_string(p.port);
            p.location = "port " + std::to_string(p.port);
        } else {
            continue; // a SCSI device of another kind of host
        }
        out.push_back(p);
    }
    std::sort(out.begin(), out.end(), [](const PassThroughPort& a, const PassThroughPort& b) {
        return a.port != b.port ? a.port < b.port : a.key < b.key;
    });
    return out;
}

std::optional<SysfsDeviceSetup::PassThroughPort>
SysfsDeviceSetup::FindPort(const std::string& key) const {
    if (key.size() > 200 || (key.rfind("pci-", 0) != 0 && key.rfind("usb-", 0) != 0) ||
        key.find('\\') != std::string::npos || key.find('/') != std::string::npos)
        return std::nullopt;
    std::error_code ec;
    std::vector<fs::path> functions;
    for (const auto& e : fs::directory_iterator(Devices(), ec))
        functions.push_back(e.path());
    std::sort(functions.begin(), functions.end());
    for (const fs::path& fn : functions) {
        if (key.rfind("pci-", 0) == 0 && key.rfind("pci-" + fn.filename().string() + "-", 0) != 0)
            continue;
        for (PassThroughPort& p : PassThroughPorts(fn))
            if (p.key == key)
                return p;
    }
    return std::nullopt;
}

std::vector<BlockDevice> SysfsDeviceSetup::PortDevices(const PassThroughPort& p) const {
    if (p.block.empty())
        return {};
    return use_.Below(p.scsi / "block" / p.block);
}

DeviceStatus SysfsDeviceSetup::PortStatus(const PassThroughPort& p) const {
    DeviceStatus st;
    st.present = true;
    st.driver = "passthrough";
    if (holds_.count(p.key) != 0) {
        // Taken by this process: the exclusive hold is ours.
        st.disabled = true;
        st.disableable = true;
        return st;
    }
    st.reason = use_.InUse(PortDevices(p), false);
    st.disableable = st.reason.empty();
    return st;
}

DeviceChange SysfsDeviceSetup::TakePort(const PassThroughPort& p) {
    DeviceChange c;
    if (holds_.count(p.key) != 0) {
        c.ok = true;
        return c;
    }
    const std::vector<BlockDevice> devices = PortDevices(p);
    std::string reason = use_.InUse(devices, true);
    if (!reason.empty()) {
        c.error = reason;
        c.inUse = true;
        return c;
    }
    Hold hold;
    hold.sg = p.sg;
    if (root_ == "/") {
        // The disk's hold covers its partitions; partitions are held on their own only when
        // the disk itself is not listed.
        bool disk = false;
        for (const BlockDevice& d : devices)
            disk = disk || !d.partition;
        for (const BlockDevice& d : devices) {
            if (disk && d.partition)
                continue;
            const int fd = BlockDeviceUse::OpenExclusive(d);
            if (fd < 0) {
                const int err = errno;
                for (int f : hold.fds)
                    ::close(f);
                c.error = "/dev/" + d.name + " can not be held: " + std::strerror(err);
                c.inUse = err == EBUSY;
                return c;
            }
            hold.fds.push_back(fd);
        }
        // Errors in descriptor format: the fixed format of some kernels puts the registers at
        // the wrong offsets.
        LinuxAtaPassThrough pt;
        std::string why;
        bool on = false;
        if (pt.Open("/dev/" + p.sg, why) && pt.DescriptorSense(on, why)) {
            hold.dsense = on ? 1 : 0;
            if (!on)
                pt.SetDescriptorSense(true, why);
        }
    }
    holds_[p.key] = std::move(hold);
    c.ok = true;
    c.driver = "passthrough";
    return c;
}

DeviceChange SysfsDeviceSetup::GivePort(const std::string& key) {
    DeviceChange c;
    c.ok = true;
    c.driver = "passthrough";
    auto it = holds_.find(key);
    if (it == holds_.end())
        return c;
    if (it->second.dsense == 0) {
        LinuxAtaPassThrough pt;
        std::string why;
        if (pt.Open("/dev/" + it->second.sg, why))
            pt.SetDescriptorSense(false, why);
    }
    for (int fd : it->second.fds)
        ::close(fd);
    holds_.erase(it);
    return c;
}

DeviceStatus SysfsDeviceSetup::Status(const std::string& key) {
    if (auto p = FindPort(key))
        return PortStatus(*p);
    DeviceStatus st;
    std::string function;
    int channel = 0;
    if (!ParseDeviceKey(key, function, channel) || !ValidName(function))
        return st;
    const fs::path fn = Devices() / function;
    std::error_code ec;
    if (!fs::exists(fn, ec))
        return st;
    st.present = true;
    st.driver = DriverOf(fn);
    st.disabled = st.driver.empty();
    st.reason = InUse(fn, false);
    st.disableable = st.reason.empty();
    return st;
}

DeviceChange SysfsDeviceSetup::Disable(const std::string& key) {
    if (auto p = FindPort(key))
        return TakePort(*p);
    DeviceChange c;
    DeviceStatus st = Status(key);
    if (!st.present) {
        c.error = "no such device " + key;
        return c;
    }
    if (st.disabled) {
        c.ok = true;
        return c;
    }
    std::string function;
    int channel = 0;
    ParseDeviceKey(key, function, channel);
    // Decided again as late as possible, and strictly: a disk mounted since the list was read,
    // or one whose claim cannot be tried, keeps its driver. The devices stay held exclusively
    // from that check until the driver is gone.
    const std::vector<BlockDevice> behind = use_.Below(Devices() / function);
    std::string reason = st.disableable ? use_.InUse(behind, true) : st.reason;
    bool written = false;
    if (reason.empty())
        reason = use_.WhileHeld(behind, [&] {
            written = WriteAttr(Devices() / function / "driver" / "unbind", function, c.error);
        });
    if (!reason.empty()) {
        c.error = reason;
        c.inUse = true;
        return c;
    }
    if (!written)
        return c;
    c.ok = true;
    c.driver = st.driver;
    return c;
}

DeviceChange SysfsDeviceSetup::Enable(const std::string& key, const std::string& driver) {
    if (holds_.count(key) != 0 || FindPort(key))
        return GivePort(key);
    DeviceChange c;
    DeviceStatus st = Status(key);
    if (!st.present) {
        c.error = "no such device " + key;
        return c;
    }
    if (!st.disabled) {
        c.ok = true;
        c.driver = st.driver;
        return c;
    }
    std::string function;
    int channel = 0;
    ParseDeviceKey(key, function, channel);
    if (driver.empty()) {
        // The driver's name was lost: let the kernel choose, as it did at boot.
        if (!WriteAttr(root_ / "sys/bus/pci/drivers_probe", function, c.error))
            return c;
        c.driver = DriverOf(Devices() / function);
        c.ok = !c.driver.empty();
        if (!c.ok)
            c.error = "no driver took " + function;
        return c;
    }
    if (!ValidName(driver)) {
        c.error = "no driver to bind to " + key;
        return c;
    }
    const fs::path dir = root_ / "sys/bus/pci/drivers" / driver;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        c.error = "the driver " + driver + " is not loaded";
        return c;
    }
    if (!WriteAttr(dir / "bind", function, c.error))
        return c;
    c.ok = true;
    c.driver = driver;
    return c;
}

std::unique_ptr<SysfsDeviceSetup> LinuxDeviceSetup(const std::string& hardware) {
    if (hardware != "linux" && hardware.rfind("linux:", 0) != 0)
        return nullptr;
    return std::make_unique<SysfsDeviceSetup>(hardware.size() > 6 ? hardware.substr(6) : "/");
}

} // namespace zkv
