// A prepared sysfs and /proc tree for the real sysfs backend.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zkv::test {

class SysfsTree {
public:
    struct Bar {
        std::uint64_t start = 0, end = 0, flags = 0;
    };
    explicit SysfsTree(std::filesystem::path root) : root_(std::move(root)) {
        namespace fs = std::filesystem;
        fs::create_directories(root_ / "sys/bus/pci/devices");
        fs::create_directories(root_ / "sys/bus/pci/drivers");
        fs::create_directories(root_ / "sys/block");
        fs::create_directories(root_ / "proc/self");
        Write("sys/bus/pci/drivers_probe", "");
        Write("proc/self/mountinfo", "22 1 0:21 / /proc rw,relatime - proc proc rw\n");
        Write("proc/swaps", "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n");
    }

    // A PCI function; `driver` empty: none bound.
    void Function(const std::string& addr, unsigned cls, unsigned vendor, unsigned device,
                  const std::string& driver, std::vector<Bar> bars = {}) {
        namespace fs = std::filesystem;
        const std::string dir = "sys/devices/pci0000:00/" + addr;
        fs::create_directories(root_ / dir);
        Write(dir + "/class", Hex(cls, 6) + "\n");
        Write(dir + "/vendor", Hex(vendor, 4) + "\n");
        Write(dir + "/device", Hex(device, 4) + "\n");
        Write(dir + "/subsystem_vendor", "0x1af4\n");
        Write(dir + "/subsystem_device", "0x1100\n");
        Write(dir + "/revision", "0x01\n");
        std::string res;
        bars.resize(7);
        for (const Bar& b : bars)
            res += Hex(b.start, 16) + " " + Hex(b.end, 16) + " " + Hex(b.flags, 16) + "\n";
        Write(dir + "/resource", res);
        fs::create_directory_symlink("../../../devices/pci0000:00/" + addr,
                                     root_ / "sys/bus/pci/devices" / addr);
        if (!driver.empty())
            Bind(addr, driver);
    }
    void Bind(const std::string& addr, const std::string& driver) {
        namespace fs = std::filesystem;
        fs::create_directories(root_ / "sys/bus/pci/drivers" / driver);
        Write("sys/bus/pci/drivers/" + driver + "/bind", "");
        Write("sys/bus/pci/drivers/" + driver + "/unbind", "");
        fs::create_directory_symlink("../../../bus/pci/drivers/" + driver,
                                     root_ / "sys/devices/pci0000:00" / addr / "driver");
    }
    // What the kernel does on an unbind.
    void Unbind(const std::string& addr) {
        std::filesystem::remove(root_ / "sys/devices/pci0000:00" / addr / "driver");
    }
    // A disk behind the function with its partitions (name, "major:minor").
    void Disk(const std::string& addr, const std::string& name, const std::string& dev,
              const std::vector<std::pair<std::string, std::string>>& parts = {}) {
        namespace fs = std::filesystem;
        const std::string dir =
            "sys/devices/pci0000:00/" + addr + "/ata1/host0/target0:0:0/0:0:0:0/block/" + name;
        fs::create_directories(root_ / dir / "holders");
        Write(dir + "/dev", dev + "\n");
        for (const auto& [p, d] : parts) {
            fs::create_directories(root_ / dir / p / "holders");
            Write(dir + "/" + p + "/dev", d + "\n");
            Write(dir + "/" + p + "/partition", "1\n");
        }
        fs::create_directory_symlink("../devices/pci0000:00/" + addr +
                                         "/ata1/host0/target0:0:0/0:0:0:0/block/" + name,
                                     root_ / "sys/block" / name);
        fs::create_directories(root_ / "sys/dev/block");
        fs::create_directory_symlink("../../" + DiskDir(addr, name), root_ / "sys/dev/block" / dev);
        for (const auto& [p, d] : parts)
            fs::create_directory_symlink("../../" + DiskDir(addr, name) + "/" + p,
                                         root_ / "sys/dev/block" / d);
    }
    // A mounted btrfs whose member list holds the block device at `blockRel` (below sys/).
    void BtrfsMember(const std::string& uuid, const std::string& blockRel) {
        namespace fs = std::filesystem;
        const fs::path dir = root_ / "sys/fs/btrfs" / uuid / "devices";
        fs::create_directories(dir);
        fs::create_directory_symlink("../../../../" + blockRel,
                                     dir / fs::path(blockRel).filename());
    }
    // The sysfs directory (below the root) of a disk made by Disk().
    static std::string DiskDir(const std::string& addr, const std::string& name) {
        return "devices/pci0000:00/" + addr + "/ata1/host0/target0:0:0/0:0:0:0/block/" + name;
    }
    void Write(const std::string& rel, const std::string& text) {
        std::ofstream(root_ / rel, std::ios::trunc) << text;
    }
    std::string Read(const std::string& rel) const {
        std::ifstream in(root_ / rel);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    const std::filesystem::path& Root() const { return root_; }

    static std::string Hex(std::uint64_t v, int width) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%0*llx", width, static_cast<unsigned long long>(v));
        return buf;
    }

private:
    std::filesystem::path root_;
};

} // namespace zkv::test
