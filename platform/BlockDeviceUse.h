// Whether block devices are in use by the running system, decided by device numbers and by the
// kernel's own claim, never by names.
//
// A device counts as in use when
//   - the kernel refuses an exclusive open of it (EBUSY): it is mounted in any mount namespace,
//     is active swap, is a member of md, LVM, dm, btrfs or a ZFS pool, or another process holds
//     it open with O_EXCL, whatever device node that process went through;
//   - it has holders in sysfs (md, LVM, dm and the like stacked on it);
//   - its major:minor is the device of a mount in /proc/self/mountinfo (this catches the root
//     file system shown as /dev/root, for which no node exists);
//   - it is listed under /sys/fs/btrfs/*/devices (a mounted btrfs shows an anonymous device
//     number in mountinfo, so its members are found here);
//   - a name in /proc/swaps resolves (stat) to its device number, or to a file on it.
//
// Everything but the claim is read below one root directory ("/" on a running system), so the
// same code runs on prepared trees in tests. The claim is only meaningful on a real kernel: it
// is tried when the root is "/" (or when a claim function is given).
//
// Users: the sysfs device setup (the devices behind a PCI function, before it is unbound) and
// any channel that must not take a disk the system uses.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace zkv {

struct BlockDevice {
    std::string name; // the kernel's name ("sda", "sda1"), for messages only
    unsigned major = 0, minor = 0;
    std::filesystem::path sysfs; // its directory below <root>/sys
    bool partition = false;

    bool Is(unsigned maj, unsigned min) const { return major == maj && minor == min; }
};

enum class BlockClaim {
    Free,   // the exclusive open succeeded (and was closed at once)
    Busy,   // the kernel refused it: something holds the device
    Unknown // it could not be tried (no node, no permission)
};

class BlockDeviceUse {
public:
    using ClaimFn = std::function<BlockClaim(const BlockDevice&, std::string& error)>;

    // `claim` empty: the kernel's claim when `root` is "/", none on a prepared tree.
    explicit BlockDeviceUse(std::filesystem::path root = "/", ClaimFn claim = {});

    // The disks whose sysfs directory lies below `sysfsDir` (a PCI function, a port, a SCSI
    // device; a path below the root), each followed by its partitions.
    std::vector<BlockDevice> Below(const std::filesystem::path& sysfsDir) const;

    // The block device of these numbers (through <root>/sys/dev/block), followed by its
    // partitions when it is a disk; empty when there is none.
    std::vector<BlockDevice> ByNumber(unsigned major, unsigned minor) const;

    // Why one of `devices` is in use; empty when none is. `strict` (the check right before a
    // take-over): a device whose claim cannot be tried counts as in use.
    std::string InUse(const std::vector<BlockDevice>& devices, bool strict) const;

    // Runs `action` while every one of `devices` is held open exclusively, so that nothing can
    // mount or claim one between the last check and the action (the holds are dropped after
    // it). A disk's hold covers its partitions: the kernel refuses a claim on a partition of a
    // held disk, and would refuse this process's own partition claims too, so partitions are
    // held only when their disk is not among `devices`. Only with the kernel's claim; otherwise
    // the action just runs. Returns why a device could not be held (the action did not run),
    // empty when it ran.
    std::string WhileHeld(const std::vector<BlockDevice>& devices,
                          const std::function<void()>& action) const;

    // The kernel's claim on the running system: an O_EXCL open of the device, closed at once.
    static BlockClaim KernelClaim(const BlockDevice& device, std::string& error);
    // An O_EXCL open (read-only, close-on-exec) of the device by its numbers, through the node
    // devtmpfs or udev made when its numbers match, else through a private node made for the
    // purpose. The descriptor, or -1 with errno set. Holding it keeps the device from being
    // mounted or claimed meanwhile.
    static int OpenExclusive(const BlockDevice& device);

private:
    // The disk at its sysfs directory, then its partitions.
    static void AddDisk(const std::filesystem::path& disk, std::vector<BlockDevice>& out);
    // Each check: why one of `devices` is in use, or empty.
    std::string Holders(const std::vector<BlockDevice>& devices, bool strict) const;
    std::string Mounted(const std::vector<BlockDevice>& devices, bool strict) const;
    std::string BtrfsMember(const std::vector<BlockDevice>& devices, bool strict) const;
    std::string Swap(const std::vector<BlockDevice>& devices, bool strict) const;

    std::filesystem::path root_;
    ClaimFn claim_;
    bool kernel_ = false; // claim_ is the kernel's
};

} // namespace zkv
