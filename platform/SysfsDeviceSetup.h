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
#pragma once

#include "platform/BlockDeviceUse.h"
#include "platform/DeviceSetup.h"

#include <filesystem>
#include <map>

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

private:
    std::filesystem::path Devices() const { return root_ / "sys/bus/pci/devices"; }
    // Why the function is in use, empty when nothing behind it is.
    std::string InUse(const std::filesystem::path& function, bool strict) const;

    std::filesystem::path root_;
    BlockDeviceUse use_;
    void* pci_ = nullptr; // struct pci_access*
};

} // namespace zkv
