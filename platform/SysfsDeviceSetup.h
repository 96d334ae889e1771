// IDeviceSetup on Linux: the PCI mass-storage functions of sysfs.
//
// Everything is read below one root directory ("/" on a running system): <root>/sys/bus/pci,
// <root>/sys/block, <root>/proc/mounts and <root>/proc/swaps, so the same code runs on a
// prepared tree in tests. Descriptions come from the PCI ID database (libpci) when the program
// was built with it.
//
// A function counts as in use, and is never taken, when a block device behind it (or one of its
// partitions) is mounted, is active swap, or is held by another block device (md, LVM, dm).
#pragma once

#include "platform/DeviceSetup.h"

#include <filesystem>
#include <map>

namespace zkv {

class SysfsDeviceSetup final : public IDeviceSetup {
public:
    explicit SysfsDeviceSetup(std::filesystem::path root = "/");
    ~SysfsDeviceSetup() override;

    std::vector<DeviceSetupEntry> Enumerate(DeviceClassKind kind) override;
    DeviceStatus Status(const std::string& key) override;
    DeviceChange Disable(const std::string& key) override;
    DeviceChange Enable(const std::string& key, const std::string& driver) override;

    // The names of the vendor and the device (empty when unknown).
    std::pair<std::string, std::string> PciNames(std::uint16_t vendor, std::uint16_t device);

private:
    std::filesystem::path Devices() const { return root_ / "sys/bus/pci/devices"; }
    // Why the function is in use, empty when nothing behind it is.
    std::string InUse(const std::filesystem::path& function) const;

    std::filesystem::path root_;
    void* pci_ = nullptr; // struct pci_access*
};

} // namespace zkv
