#include "platform/BlockDeviceUse.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace zkv {
namespace fs = std::filesystem;

namespace {

// Bounds on what is read: /proc/self/mountinfo of a host with many containers runs to a few
// megabytes; sysfs directories hold a few hundred entries.
constexpr std::size_t kMaxMountinfo = 16u << 20;
constexpr std::size_t kMaxSwaps = 1u << 20;
constexpr std::size_t kMaxAttr = 4096;
constexpr int kMaxEntries = 4096;

// The whole file, or false when it cannot be read or is larger than `cap`.
bool ReadBounded(const fs::path& p, std::size_t cap, std::string& out) {
    out.clear();
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[8192];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || out.size() + static_cast<std::size_t>(n) > cap) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

// "major:minor" (a sysfs dev attribute or the third field of mountinfo).
bool ParseNumbers(const std::string& text, unsigned& major, unsigned& minor) {
    unsigned long a = 0, b = 0;
    char* end = nullptr;
    errno = 0;
    a = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != ':' || errno)
        return false;
    const char* second = end + 1;
    b = std::strtoul(second, &end, 10);
    if (end == second || errno || (*end != '\0' && *end != '\n') || a > 0xFFFFF || b > 0xFFFFF)
        return false;
    major = static_cast<unsigned>(a);
    minor = static_cast<unsigned>(b);
    return true;
}

bool ReadNumbers(const fs::path& devAttr, unsigned& major, unsigned& minor) {
    std::string text;
    return ReadBounded(devAttr, kMaxAttr, text) && ParseNumbers(text, major, minor);
}

// "\040" and friends in mountinfo and /proc/swaps fields.
std::string Unescape(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(s[i]);
    }
    return out;
}

const BlockDevice* Find(const std::vector<BlockDevice>& devices, unsigned major, unsigned minor) {
    for (const BlockDevice& d : devices)
        if (d.Is(major, minor))
            return &d;
    return nullptr;
}

std::string Dev(const BlockDevice& d) {
    return "/dev/" + d.name;
}

bool PlainName(const std::string& s) {
    return !s.empty() && s.size() < 64 && s.find('/') == std::string::npos && s != "." && s != "..";
}

// Opens `path` exclusively when it is a block node of `want`. Returns true when the path decided
// (fd >= 0, or -1 with errno from the open); false when the path is no node of that device.
bool OpenIfNode(const std::string& path, dev_t want, int& fd) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != want)
        return false;
    fd = ::open(path.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    // The node may have been replaced between the stat and the open.
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != want) {
        ::close(fd);
        fd = -1;
        return false;
    }
    return true;
}

} // namespace

BlockDeviceUse::BlockDeviceUse(fs::path root, ClaimFn claim)
    : root_(std::move(root)), claim_(std::move(claim)) {
    std::error_code ec;
    if (!claim_ && fs::equivalent(root_, "/", ec)) {
        claim_ = &BlockDeviceUse::KernelClaim;
        kernel_ = true;
    }
}

std::string BlockDeviceUse::WhileHeld(const std::vector<BlockDevice>& devices,
                                      const std::function<void()>& action) const {
    std::vector<int> held;
    std::string why;
    if (kernel_) {
        for (const BlockDevice& d : devices) {
            if (d.partition &&
                std::any_of(devices.begin(), devices.end(), [&](const BlockDevice& o) {
                    return !o.partition && d.sysfs.parent_path() == o.sysfs;
                }))
                continue;
            const int fd = OpenExclusive(d);
            if (fd >= 0) {
                held.push_back(fd);
                continue;
            }
            const int e = errno;
            if (e == ENXIO || e == ENODEV || e == ENOMEDIUM)
                continue; // gone or empty: nothing to hold
            why = e == EBUSY ? Dev(d) + " is in use: the kernel refuses to open it exclusively"
                             : "cannot hold " + Dev(d) + ": " + std::strerror(e);
            break;
        }
    }
    if (why.empty())
        action();
    for (int fd : held)
        ::close(fd);
    return why;
}

std::vector<BlockDevice> BlockDeviceUse::Below(const fs::path& sysfsDir) const {
    std::vector<BlockDevice> out;
    std::error_code ec;
    const fs::path top = fs::canonical(sysfsDir, ec);
    if (ec)
        return out;
    std::vector<fs::path> disks;
    int seen = 0;
    for (const auto& e : fs::directory_iterator(root_ / "sys/block", ec)) {
        if (++seen > kMaxEntries)
            break;
        std::error_code ec2;
        const fs::path real = fs::canonical(e.path(), ec2);
        if (ec2)
            continue;
        auto [a, b] = std::mismatch(top.begin(), top.end(), real.begin(), real.end());
        if (a == top.end())
            disks.push_back(real);
    }
    std::sort(disks.begin(), disks.end());
    for (const fs::path& disk : disks)
        AddDisk(disk, out);
    return out;
}

std::vector<BlockDevice> BlockDeviceUse::ByNumber(unsigned major, unsigned minor) const {
    std::vector<BlockDevice> out;
    std::error_code ec;
    const fs::path dir = fs::canonical(
        root_ / "sys/dev/block" / (std::to_string(major) + ":" + std::to_string(minor)), ec);
    unsigned maj = 0, min = 0;
    if (ec || !ReadNumbers(dir / "dev", maj, min) || maj != major || min != minor)
        return out;
    if (fs::exists(dir / "partition", ec)) {
        out.push_back({dir.filename().string(), major, minor, dir, true});
        return out;
    }
    AddDisk(dir, out);
    return out;
}

void BlockDeviceUse::AddDisk(const fs::path& disk, std::vector<BlockDevice>& out) {
    BlockDevice d;
    d.name = disk.filename().string();
    d.sysfs = disk;
    if (!ReadNumbers(disk / "dev", d.major, d.minor))
        return;
    out.push_back(d);
    std::vector<BlockDevice> parts;
    int n = 0;
    std::error_code ec;
    for (const auto& p : fs::directory_iterator(disk, ec)) {
        if (++n > kMaxEntries)
            break;
        std::error_code ec2;
        if (!fs::exists(p.path() / "partition", ec2))
            continue;
        BlockDevice part;
        part.name = p.path().filename().string();
        part.sysfs = p.path();
        part.partition = true;
        if (ReadNumbers(p.path() / "dev", part.major, part.minor))
            parts.push_back(part);
    }
    std::sort(parts.begin(), parts.end(),
              [](const BlockDevice& x, const BlockDevice& y) { return x.minor < y.minor; });
    out.insert(out.end(), parts.begin(), parts.end());
}

std::string BlockDeviceUse::InUse(const std::vector<BlockDevice>& devices, bool strict) const {
    if (devices.empty())
        return {};
    for (auto check : {&BlockDeviceUse::Holders, &BlockDeviceUse::Mounted,
                       &BlockDeviceUse::BtrfsMember, &BlockDeviceUse::Swap}) {
        std::string why = (this->*check)(devices, strict);
        if (!why.empty())
            return why;
    }
    if (!claim_)
        return {};
    for (const BlockDevice& d : devices) {
        std::string error;
        switch (claim_(d, error)) {
        case BlockClaim::Free:
            break;
        case BlockClaim::Busy:
            return Dev(d) + " is in use: the kernel refuses to open it exclusively (mounted in "
                            "some mount namespace, swap, a member of an array, volume or pool, "
                            "or held open)";
        case BlockClaim::Unknown:
            if (strict)
                return "cannot tell whether " + Dev(d) + " is in use: " + error;
            break;
        }
    }
    return {};
}

std::string BlockDeviceUse::Holders(const std::vector<BlockDevice>& devices, bool) const {
    for (const BlockDevice& d : devices) {
        std::error_code ec;
        if (fs::is_directory(d.sysfs / "holders", ec) && !fs::is_empty(d.sysfs / "holders", ec))
            return Dev(d) + " is part of an active md, LVM or dm device";
    }
    return {};
}

std::string BlockDeviceUse::Mounted(const std::vector<BlockDevice>& devices, bool strict) const {
    // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw": the third field is the
    // mounted device's number, whatever name the source field gives.
    std::string text;
    if (!ReadBounded(root_ / "proc/self/mountinfo", kMaxMountinfo, text))
        // Right before a take-over the mount table must have been read in full.
        return strict ? "cannot read " + (root_ / "proc/self/mountinfo").string() : std::string();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string id, parent, numbers, mountRoot, target;
        ls >> id >> parent >> numbers >> mountRoot >> target;
        unsigned major = 0, minor = 0;
        if (!ParseNumbers(numbers, major, minor))
            continue;
        if (const BlockDevice* d = Find(devices, major, minor))
            return Dev(*d) + " is mounted on " + Unescape(target);
    }
    return {};
}

std::string BlockDeviceUse::BtrfsMember(const std::vector<BlockDevice>& devices, bool) const {
    // A mounted btrfs shows an anonymous 0:N in mountinfo; its member devices are listed
    // under its UUID, each a link to the block device's own directory.
    std::error_code ec;
    int n = 0;
    for (const auto& fsDir : fs::directory_iterator(root_ / "sys/fs/btrfs", ec)) {
        if (++n > kMaxEntries)
            break;
        std::error_code ec2;
        for (const auto& member : fs::directory_iterator(fsDir.path() / "devices", ec2)) {
            if (++n > kMaxEntries)
                break;
            unsigned major = 0, minor = 0;
            if (!ReadNumbers(member.path() / "dev", major, minor))
                continue;
            if (const BlockDevice* d = Find(devices, major, minor))
                return Dev(*d) + " belongs to a mounted btrfs file system";
        }
    }
    return {};
}

std::string BlockDeviceUse::Swap(const std::vector<BlockDevice>& devices, bool) const {
    std::string text;
    if (!ReadBounded(root_ / "proc/swaps", kMaxSwaps, text))
        return {};
    std::istringstream in(text);
    std::string line;
    std::getline(in, line); // the header
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string name;
        ls >> name;
        name = Unescape(name);
        if (name.empty() || name[0] != '/')
            continue;
        // The name resolves to a device node (its number) or to a swap file (the number of
        // the device holding it).
        struct stat st {};
        if (::stat((root_ / name.substr(1)).c_str(), &st) != 0)
            continue;
        const dev_t dev = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
        if (const BlockDevice* d = Find(devices, major(dev), minor(dev)))
            return Dev(*d) + " is active swap";
    }
    return {};
}

int BlockDeviceUse::OpenExclusive(const BlockDevice& device) {
    const dev_t want = makedev(device.major, device.minor);
    int fd = -1;
    const std::string numbers = std::to_string(device.major) + ":" + std::to_string(device.minor);
    if (OpenIfNode("/dev/block/" + numbers, want, fd))
        return fd;
    if (PlainName(device.name) && OpenIfNode("/dev/" + device.name, want, fd))
        return fd;
    // No node of these numbers where devtmpfs and udev put them: make one in a private
    // directory (on a file system that allows device nodes) and remove it after the open.
    int saved = ENOENT;
    for (const char* base : {"/dev", "/run"}) {
        std::string dir = std::string(base) + "/.zelkova-claim-XXXXXX";
        if (!::mkdtemp(dir.data())) {
            saved = errno;
            continue;
        }
        const std::string node = dir + "/node";
        if (::mknod(node.c_str(), S_IFBLK | 0600, want) == 0) {
            fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
            saved = fd < 0 ? errno : 0;
            ::unlink(node.c_str());
        } else {
            saved = errno;
        }
        ::rmdir(dir.c_str());
        if (fd >= 0 || saved == EBUSY)
            break;
    }
    errno = saved;
    return fd;
}

BlockClaim BlockDeviceUse::KernelClaim(const BlockDevice& device, std::string& error) {
    const int fd = OpenExclusive(device);
    if (fd >= 0) {
        ::close(fd);
        return BlockClaim::Free;
    }
    const int e = errno;
    switch (e) {
    case EBUSY:
        return BlockClaim::Busy;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
        // Gone, or no medium: nothing can be using it.
        return BlockClaim::Free;
    default:
        error = std::strerror(e);
        return BlockClaim::Unknown;
    }
}

} // namespace zkv
