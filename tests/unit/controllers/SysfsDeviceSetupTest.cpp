// The real sysfs backend on prepared trees.
#include "platform/SysfsDeviceSetup.h"
#include "SysfsTree.h"
#include "ata/ControllerInfo.h"
#include "controllers/ControllerList.h"
#include "sim/SimIde.h"
#include "tests/support/ClientHarness.h"
#include "tools/MessageDialog.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zkv {
namespace {

using test::SysfsTree;
using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
constexpr std::uint64_t kIo = 0x40101;

// "major:minor" of the file system holding `p`.
std::string Numbers(const std::filesystem::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

const DeviceSetupEntry* Find(const std::vector<DeviceSetupEntry>& v, const std::string& key) {
    for (const auto& e : v)
        if (e.key == key)
            return &e;
    return nullptr;
}

struct SysfsTest : ::testing::Test {
    test::TempDir dir;
    SysfsTree tree{dir.Path()};
    void SetUp() override {
        // Legacy-mode PIIX with ata_piix, a native-mode IDE function without a driver, AHCI.
        tree.Function("0000:00:01.1", 0x010180, 0x8086, 0x7010, "ata_piix",
                      {{}, {}, {}, {}, {0xC040, 0xC04F, kIo}});
        tree.Function("0000:00:05.0", 0x01018F, 0x1095, 0x0680, "",
                      {{0xD000, 0xD007, kIo},
                       {0xD010, 0xD013, kIo},
                       {0xD020, 0xD027, kIo},
                       {0xD030, 0xD033, kIo},
                       {0xD040, 0xD04F, kIo}});
        tree.Function("0000:00:1f.2", 0x010601, 0x8086, 0x2922, "ahci",
                      {{0xE000, 0xE007, kIo}, {}, {}, {}, {}, {0xFEB00000, 0xFEB00FFF, 0x40200}});
        tree.Disk("0000:00:1f.2", "sdb", "8:16", {{"sdb1", "8:17"}});
        tree.Write("proc/self/mountinfo", "22 1 8:17 / / rw,relatime - ext4 /dev/sdb1 rw\n"
                                          "23 22 0:21 / /proc rw - proc proc rw\n");
    }
};

TEST_F(SysfsTest, ListsIdeInBothModesAndOtherAdapters) {
    SysfsDeviceSetup setup(dir.Path());
    const auto hdc = setup.Enumerate(DeviceClassKind::HardDiskController);
    ASSERT_EQ(hdc.size(), 6u);
    const DeviceSetupEntry* piix = Find(hdc, "pci-0000:00:01.1\\0");
    const DeviceSetupEntry* p1 = Find(hdc, "pci-0000:00:01.1\\1");
    const DeviceSetupEntry* p2 = Find(hdc, "pci-0000:00:01.1\\2");
    const DeviceSetupEntry* n1 = Find(hdc, "pci-0000:00:05.0\\1");
    const DeviceSetupEntry* n2 = Find(hdc, "pci-0000:00:05.0\\2");
    ASSERT_TRUE(piix && p1 && p2 && n1 && n2);
    EXPECT_EQ(piix->hardwareId, "PCI\\VEN_8086&DEV_7010&SUBSYS_11001AF4&REV_01");
    EXPECT_EQ(piix->className, "HDC");
    EXPECT_EQ(piix->service, "ata_piix");
    EXPECT_EQ(piix->ranges, (Ranges{{0xC040, 0xC04F}}));
    EXPECT_EQ(p1->service, "atapi");
    EXPECT_EQ(p1->deviceDesc, "Primary IDE Channel");
    EXPECT_EQ(p2->deviceDesc, "Secondary IDE Channel");
    EXPECT_EQ(p1->ranges, (Ranges{{0x1F0, 0x1F7}, {0x3F6, 0x3F6}}));
    EXPECT_EQ(p2->ranges, (Ranges{{0x170, 0x177}, {0x376, 0x376}}));
    // Native mode: the BARs, the control register at the third byte of its block.
    EXPECT_EQ(n1->ranges, (Ranges{{0xD000, 0xD007}, {0xD012, 0xD012}}));
    EXPECT_EQ(n2->ranges, (Ranges{{0xD020, 0xD027}, {0xD032, 0xD032}}));
    EXPECT_EQ(Find(hdc, "pci-0000:00:05.0\\0")->service, "none");

    const auto raid = setup.Enumerate(DeviceClassKind::RaidAdapter);
    ASSERT_EQ(raid.size(), 1u);
    EXPECT_EQ(raid[0].key, "pci-0000:00:1f.2\\0");
    EXPECT_EQ(raid[0].className, "SCSIAdapter");
    EXPECT_EQ(raid[0].compatibleIds, "PCI\\CC_010601");
    EXPECT_EQ(raid[0].ranges, (Ranges{{0xE000, 0xE007}})); // the memory BAR is no I/O range

    DeviceStatus unbound = setup.Status("pci-0000:00:05.0\\1");
    EXPECT_TRUE(unbound.present && unbound.disabled && unbound.disableable);
    DeviceStatus ahci = setup.Status("pci-0000:00:1f.2\\0");
    EXPECT_FALSE(ahci.disabled);
    EXPECT_FALSE(ahci.disableable);
    EXPECT_EQ(ahci.reason, "/dev/sdb1 is mounted on /");
    EXPECT_FALSE(setup.Status("pci-0000:00:09.0\\1").present);
}

TEST_F(SysfsTest, UnbindsTheDriverAndBindsItBack) {
    SysfsDeviceSetup setup(dir.Path());
    DeviceChange off = setup.Disable("pci-0000:00:01.1/1");
    ASSERT_TRUE(off.ok) << off.error;
    EXPECT_EQ(off.driver, "ata_piix");
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers/ata_piix/unbind"), "0000:00:01.1");
    tree.Unbind("0000:00:01.1");
    EXPECT_TRUE(setup.Status("pci-0000:00:01.1\\2").disabled); // both channels went
    DeviceChange on = setup.Enable("pci-0000:00:01.1\\1", "ata_piix");
    ASSERT_TRUE(on.ok) << on.error;
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers/ata_piix/bind"), "0000:00:01.1");
    // A lost driver name: the kernel is asked to choose; here no driver answers.
    DeviceChange probe = setup.Enable("pci-0000:00:05.0\\1", "");
    EXPECT_FALSE(probe.ok);
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers_probe"), "0000:00:05.0");
    EXPECT_FALSE(setup.Enable("pci-0000:00:05.0\\1", "../../x").ok);
    EXPECT_FALSE(setup.Enable("pci-0000:00:05.0\\1", "pata_missing").ok);
}

TEST_F(SysfsTest, RefusesWhateverTheSystemUses) {
    SysfsDeviceSetup setup(dir.Path());
    // sda2 carries the numbers of the file system the tree lies on, so that a swap file in the
    // tree lives on it.
    tree.Disk("0000:00:01.1", "sda", "8:0", {{"sda1", "250:1"}, {"sda2", Numbers(dir.Path())}});
    tree.Write("proc/self/mountinfo", "");
    const std::string key = "pci-0000:00:01.1\\1";
    EXPECT_TRUE(setup.Status(key).disableable);

    tree.Write("swapfile", "");
    tree.Write("proc/swaps", "Filename Type Size Used Priority\n/swapfile file 1 0 -2\n");
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda2 is active swap");
    tree.Write("proc/swaps", "Filename Type Size Used Priority\n");

    tree.Write("proc/self/mountinfo", "30 22 250:1 / /mnt/data\\040disk rw - ext4 /dev/sda1 rw\n");
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda1 is mounted on /mnt/data disk");
    tree.Write("proc/self/mountinfo", "");

    std::filesystem::create_directory(
        dir.Path() / "sys/block/sda/sda1/holders/dm-0"); // an LVM volume on the partition
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda1 is part of an active md, LVM or dm device");
    DeviceChange refused = setup.Disable(key);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers/ata_piix/unbind"), "");
}

TEST_F(SysfsTest, FindsUseByDeviceNumbersWhateverTheName) {
    SysfsDeviceSetup setup(dir.Path());
    tree.Disk("0000:00:01.1", "sda", "8:0", {{"sda1", "8:1"}, {"sda2", "8:2"}});
    const std::string key = "pci-0000:00:01.1\\1";
    // The root file system shown as /dev/root, a name with no node: its numbers are sda1's.
    tree.Write("proc/self/mountinfo", "22 1 8:1 / / rw,relatime - ext4 /dev/root rw\n");
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda1 is mounted on /");

    // A btrfs over another disk and sda2: mountinfo shows an anonymous number and the other
    // device's name; the member list under its UUID names sda2.
    tree.Write("proc/self/mountinfo", "40 22 0:45 / /data rw - btrfs /dev/sdc rw\n");
    EXPECT_TRUE(setup.Status(key).disableable);
    tree.BtrfsMember("5e1f0c2a-1d2b-4c1e-9a57-3f1d2c3b4a59",
                     SysfsTree::DiskDir("0000:00:01.1", "sda") + "/sda2");
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda2 belongs to a mounted btrfs file system");
    // The same decision for devices named by their numbers: a disk brings its partitions.
    BlockDeviceUse use(dir.Path());
    std::vector<std::string> names;
    for (const BlockDevice& d : use.ByNumber(8, 0))
        names.push_back(d.name);
    EXPECT_EQ(names, (std::vector<std::string>{"sda", "sda1", "sda2"}));
    EXPECT_EQ(use.InUse(use.ByNumber(8, 2), true),
              "/dev/sda2 belongs to a mounted btrfs file system");
    EXPECT_EQ(use.InUse(use.ByNumber(8, 1), true), "");
    std::filesystem::remove_all(dir.Path() / "sys/fs/btrfs");
    EXPECT_TRUE(setup.Status(key).disableable);

    // Swap through a node of another name made with sda2's numbers (needs CAP_MKNOD).
    std::filesystem::create_directories(dir.Path() / "dev");
    if (::mknod((dir.Path() / "dev/other").c_str(), S_IFBLK | 0600, makedev(8, 2)) == 0) {
        tree.Write("proc/swaps", "Filename Type Size Used Priority\n/dev/other partition 1 0 -2\n");
        EXPECT_EQ(setup.Status(key).reason, "/dev/sda2 is active swap");
    } else {
        std::printf("no CAP_MKNOD: the swap-through-a-node case was not tried\n");
    }
}

TEST_F(SysfsTest, DecidesAgainRightBeforeTheUnbind) {
    tree.Disk("0000:00:01.1", "sda", "8:0", {{"sda1", "8:1"}});
    std::vector<std::string> asked;
    BlockClaim answer = BlockClaim::Free;
    // The kernel's claim as it would answer for sda1; the disk itself is free.
    SysfsDeviceSetup setup(dir.Path(), [&](const BlockDevice& d, std::string& error) {
        asked.push_back(d.name);
        error = "Permission denied";
        return d.name == "sda1" ? answer : BlockClaim::Free;
    });
    SimIdeHardware hw(SimHardwareConfig{});
    TClassInfoList list(setup, hw, hw.Clock());
    TControllerInfo* primary = list.FindByKey("pci-0000:00:01.1\\1");
    ASSERT_TRUE(primary && primary->Disableable);
    asked.clear();
    primary->RefreshStatus();
    EXPECT_EQ(asked, (std::vector<std::string>{"sda", "sda1"})); // the disk and each partition

    auto take = [&](std::string& message) {
        primary->RefreshStatus();
        bool restart = false, ok = false;
        message = "Wrong controller address.";
        const int r = primary->PrepareForRepair(restart, ok, message);
        return r == 0 && ok;
    };
    std::string message;
    // Mounted after the list was read.
    ASSERT_TRUE(primary->Disableable);
    tree.Write("proc/self/mountinfo", "30 22 8:1 / /mnt rw - ext4 /dev/sda1 rw\n");
    bool restart = false, ok = false;
    message = "Wrong controller address.";
    EXPECT_EQ(primary->PrepareForRepair(restart, ok, message), 1);
    EXPECT_EQ(message, kCantDisableMessage);
    EXPECT_EQ(primary->Refusal, "/dev/sda1 is mounted on /mnt");
    tree.Write("proc/self/mountinfo", "");

    // Held where no table shows it (another mount namespace, an O_EXCL open elsewhere).
    answer = BlockClaim::Busy;
    EXPECT_FALSE(take(message));
    EXPECT_EQ(message, kCantDisableMessage);
    EXPECT_EQ(primary->Refusal.rfind("/dev/sda1 is in use: the kernel refuses", 0), 0u);
    // A claim that cannot be tried leaves the entry in the list as takeable, but the take-over
    // itself keeps the driver.
    answer = BlockClaim::Unknown;
    EXPECT_FALSE(take(message));
    EXPECT_TRUE(primary->Refusal == "cannot tell whether /dev/sda1 is in use: Permission denied");
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers/ata_piix/unbind"), "");

    answer = BlockClaim::Free;
    EXPECT_TRUE(take(message)) << primary->Refusal;
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers/ata_piix/unbind"), "0000:00:01.1");
}

// The kernel's claim by numbers alone, on this machine's kernel: an unused loop device is opened
// under a name no node has, so the open goes through a private node of its numbers.
TEST(BlockUse, TheKernelsClaimGoesByNumbers) {
    std::string free;
    for (int i = 0; i < 8 && free.empty(); ++i) {
        const std::string dev = "/sys/block/loop" + std::to_string(i);
        if (std::filesystem::exists(dev + "/dev") && !std::filesystem::exists(dev + "/loop"))
            free = dev;
    }
    if (::geteuid() != 0 || free.empty())
        GTEST_SKIP() << "needs root and an unused loop device";
    BlockDevice d;
    d.name = "no-node-by-this-name";
    std::ifstream in(free + "/dev");
    char colon = 0;
    in >> d.major >> colon >> d.minor;
    std::string error;
    const BlockClaim before = BlockDeviceUse::KernelClaim(d, error);
    if (before == BlockClaim::Unknown)
        GTEST_SKIP() << "no private device node could be made: " << error;
    EXPECT_EQ(before, BlockClaim::Free);
    // Held exclusively through the kernel's own node: busy by any name.
    const std::string node = "/dev/loop" + std::to_string(d.minor);
    const int held = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(held, 0) << node;
    EXPECT_EQ(BlockDeviceUse::KernelClaim(d, error), BlockClaim::Busy);
    ::close(held);
    EXPECT_EQ(BlockDeviceUse::KernelClaim(d, error), BlockClaim::Free);
    for (const auto& e : std::filesystem::directory_iterator("/dev"))
        EXPECT_EQ(e.path().filename().string().rfind(".zelkova-claim-", 0), std::string::npos);
}

// A machine without the PCI ID database nor udev's hardware database, and one whose ID file is
// damaged (libpci reports that as fatal): the list is still made, the names are the numbers.
// Run in a private mount namespace that hides both databases.
TEST_F(SysfsTest, ListsWithoutAnyIdDatabase) {
    for (const bool damaged : {false, true}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                ::_exit(77);
            for (const char* d : {"/usr/share/misc", "/usr/share/hwdata"})
                if (::access(d, F_OK) == 0 && ::mount("none", d, "tmpfs", 0, nullptr) != 0)
                    ::_exit(78);
            for (const char* f :
                 {"/etc/udev/hwdb.bin", "/lib/udev/hwdb.bin", "/usr/lib/udev/hwdb.bin"})
                if (::access(f, F_OK) == 0 &&
                    ::mount("/dev/null", f, nullptr, MS_BIND, nullptr) != 0)
                    ::_exit(78);
            if (damaged)
                std::ofstream("/usr/share/misc/pci.ids") << "8086  Intel\n\tnot an id\n";
            SysfsDeviceSetup setup(dir.Path());
            const auto hdc = setup.Enumerate(DeviceClassKind::HardDiskController);
            const auto raid = setup.Enumerate(DeviceClassKind::RaidAdapter);
            const DeviceSetupEntry* piix = Find(hdc, "pci-0000:00:01.1\\0");
            const bool ok = hdc.size() == 6 && piix && piix->mfg == "PCI vendor 8086" &&
                            piix->deviceDesc == "PCI IDE controller 8086:7010" &&
                            raid.size() == 1 &&
                            raid[0].deviceDesc == "PCI storage adapter 8086:2922";
            ::_exit(ok ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status))
            << "damaged " << damaged << ": the list ended with signal " << WTERMSIG(status);
        if (WEXITSTATUS(status) == 77)
            GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(WEXITSTATUS(status), 0)
            << "damaged " << damaged << " (78: the databases could not be hidden)";
    }
}

TEST(SysfsList, AnUnreadableTreeSetsTheClassErrorsAndSaysSo) {
    SysfsDeviceSetup setup("/nonexistent-sysfs-root");
    SimIdeHardware hw(SimHardwareConfig{});
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    TClassInfoList list(setup, hw, hw.Clock());
    ASSERT_EQ(list.Classes().size(), 2u);
    EXPECT_TRUE(list.Classes()[0]->Error() && list.Classes()[1]->Error());
    const auto shown = dlg.ShownSoFar();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].request.text, "Error occured during HDC controllers list creating.");
    EXPECT_EQ(shown[1].request.text, "Error occured during RAID controllers list creating.");
    EXPECT_EQ(list.CurrentEntry(), nullptr);
}

} // namespace
} // namespace zkv
