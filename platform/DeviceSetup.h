// The operating system's view of the disk controllers: which exist, their I/O ranges, whether a
// kernel driver holds them, and taking a controller from that driver and giving it back.
//
// Every mass-storage function is listed. An IDE function (PCI class 0x0101) gives one controller
// entry (channel 0) and one entry per channel (1 primary, 2 secondary); any other mass-storage
// function (SCSI, RAID, SATA/AHCI, SAS, NVMe) gives one adapter entry. All entries of one
// function share its driver: disabling one entry unbinds the whole function, so both channels
// go at once.
//
// A function whose disks are reached through the kernel's ATA pass-through (an AHCI or other
// libata host, a USB host with a disk whose bridge passes ATA commands) is a hard-disk
// controller entry (channel 0, never driven) with one pass-through channel entry per disk.
//
// Backends: SysfsDeviceSetup (Linux sysfs, root configurable for tests) and SimDeviceSetup (the
// controllers of the simulated hardware file).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zkv {

enum class DeviceClassKind { HardDiskController, RaidAdapter };

struct DeviceSetupEntry {
    DeviceClassKind kind = DeviceClassKind::HardDiskController;
    // A key that stays the same across reboots: "pci-<address>\<channel>", e.g.
    // "pci-0000:00:01.1\1". The number after the last backslash is the channel (0 = the
    // controller itself or an adapter).
    std::string key;
    std::string function; // the PCI address, "0000:00:01.1"
    int channel = 0;
    std::string deviceDesc;
    std::string hardwareId;    // PCI\VEN_xxxx&DEV_xxxx&SUBSYS_xxxxxxxx&REV_xx
    std::string compatibleIds; // PCI\CC_cccccc
    // "atapi" on a drivable channel entry; the kernel driver's name (or "none") otherwise.
    std::string service;
    std::string className; // "HDC" or "SCSIAdapter"
    std::string classGuid;
    std::string mfg;
    std::string location;
    std::string objectName;         // the sysfs path of the function
    std::int32_t legacyBusType = 5; // PCI
    std::int32_t busNumber = -1;
    std::string enumerator = "PCI";
    std::int32_t deviceAddress = -1; // (device << 16) | function
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    // A channel reached through ATA pass-through: the SCSI generic node the commands go to
    // ("/dev/sg1") and the disk's block device ("sdb"). Empty on every other entry. Such a
    // channel's key names the PCI function and the port ("pci-0000:00:1f.2-port1") or the USB
    // path ("usb-2-1.3"); taking it unbinds nothing but holds the disk exclusively.
    std::string passThrough;
    std::string block;
    // The controller entry of a function whose disks are pass-through channels.
    bool passThroughHost = false;
};

struct DeviceStatus {
    bool present = false;
    bool disabled = false;    // no kernel driver holds the function
    bool disableable = false; // it may be taken: nothing the running system uses sits behind it
    std::string driver;       // the bound driver, empty when disabled
    std::string reason;       // why it is not disableable
};

struct DeviceChange {
    bool ok = false;
    bool restartNeeded = false;
    std::string driver; // disable: the driver that was unbound (to bind back later)
    std::string error;
    bool inUse = false; // disable refused: something the system uses sits behind the function
};

class IDeviceSetup {
public:
    virtual ~IDeviceSetup() = default;
    // The entries of one class, in a stable order (by PCI address, then channel). Throws
    // std::runtime_error when the devices cannot be listed at all.
    virtual std::vector<DeviceSetupEntry> Enumerate(DeviceClassKind kind) = 0;
    virtual DeviceStatus Status(const std::string& key) = 0;
    // Unbinds the function's kernel driver. Refused (inUse) when something behind the function is
    // in use, decided again right before the unbind.
    virtual DeviceChange Disable(const std::string& key) = 0;
    // Binds `driver` (the name Disable gave) to the function again; with an empty name the
    // kernel chooses the driver, as at boot.
    virtual DeviceChange Enable(const std::string& key, const std::string& driver) = 0;
};

// The function and channel of a key; false when the text is not a key of this form.
bool ParseDeviceKey(const std::string& key, std::string& function, int& channel);
std::string MakeDeviceKey(const std::string& function, int channel);
// Keys compare without case, and '/' stands for '\' (easier on a command line).
bool SameDeviceKey(const std::string& a, const std::string& b);

} // namespace zkv
