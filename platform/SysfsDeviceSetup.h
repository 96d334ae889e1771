// IDeviceSetup on Linux: the PCI mass-storage functions of sysfs.
//
// Everything is read below one root directory ("/" on a running system): <root>/sys and
// <root>/proc, so the same code runs on a prepared tree in tests. Descriptions come from the PCI
// ID database (libpci) when the program was built with it.
//
// A function counts as in use, and is never taken, when a block device behind it (a disk, its
// partitions) is in use as BlockDeviceUse decides: by the kernel's claim and by device numbers.
// Disable decides it once more right before the unbind, and then a claim that cannot be tried
// counts as in use.
//
// Pass-through channels (a disk behind a libata host or a USB host, with a SCSI generic node)
// are found below the function in sysfs: ataN/.../H:C:T:L/{scsi_generic,block}. Taking one
// holds the disk's block device open with O_EXCL (a disk's hold covers its partitions) and sets
// the D_SENSE bit of its control mode page; giving it back restores the bit and closes the
// hold. Holds end with the process. On a prepared tree (root other than "/") nothing is opened.
#pragma once

#include "platform/BlockDeviceUse.h"
#include "platform/DeviceSetup.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zkv {

class SysfsDeviceSetup final : public IDeviceSetup {
public:
    // `claim`: how the kernel's claim is tried (see BlockDeviceUse); empty for the default.
    explicit SysfsDeviceSetup(std::filesystem::path root = "/", BlockDeviceUse::ClaimFn claim = {});
    ~SysfsDeviceSetup() override;

    std::vector<DeviceSetupEntry> Enumerate(DeviceClassKind kind) override;
    DeviceStatus Status(const std::string& key) override;
    DeviceChange Disable(const std::string& key) override;
    DeviceChange Enable(const std::string& key, const std::string& driver) override;

    // The names of the vendor and the device (empty when unknown).
    std::pair<std::string, std::string> PciNames(std::uint16_t vendor, std::uint16_t device);

    // A disk reached through pass-through, below a PCI function.
    struct PassThroughPort {
        std::string key;
        std::string function;       // the PCI address of the host
        std::filesystem::path scsi; // the SCSI device's directory (H:C:T:L)
        std::string sg;             // "sg1"
        std::string block;          // "sdb", empty when the device has no block device
        std::string location;       // "port 1", "USB 2-1.3"
        std::string usbPath;        // empty behind a libata host
        int port = 0;
    };
    // The pass-through disks below a function, in a stable order.
    std::vector<PassThroughPort> PassThroughPorts(const std::filesystem::path& function) const;

private:
    std::filesystem::path Devices() const { return root_ / "sys/bus/pci/devices"; }
    std::optional<PassThroughPort> FindPort(const std::string& key) const;
    DeviceStatus PortStatus(const PassThroughPort& p) const;
    DeviceChange TakePort(const PassThroughPort& p);
    DeviceChange GivePort(const std::string& key);
    std::vector<BlockDevice> PortDevices(const PassThroughPort& p) const;

    struct Hold {
        std::vector<int> fds;
        std::string sg;
        int dsense = -1; // the D_SENSE bit found on take (-1: unknown, left alone)
    };
    std::map<std::string, Hold> holds_;
    // Why the function is in use, empty when nothing behind it is.
    std::string InUse(const std::filesystem::path& function, bool strict) const;

    std::filesystem::path root_;
    BlockDeviceUse use_;
    void* pci_ = nullptr; // struct pci_access*
};

// The device setup the hardware option names when it is "linux" (sysfs and /proc of the running
// system) or "linux:ROOT" (read below ROOT); nullptr for any other option.
std::unique_ptr<SysfsDeviceSetup> LinuxDeviceSetup(const std::string& hardware);

} // namespace zkv
