// The real sysfs backend on prepared trees.
#include "platform/SysfsDeviceSetup.h"
#include "SysfsTree.h"
#include "controllers/ControllerList.h"
#include "sim/SimIde.h"
#include "tests/support/ClientHarness.h"
#include "tools/MessageDialog.h"

#include <gtest/gtest.h>

namespace zkv {
namespace {

using test::SysfsTree;
using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
constexpr std::uint64_t kIo = 0x40101;

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
        tree.Write("proc/mounts", "/dev/sdb1 / ext4 rw,relatime 0 0\nproc /proc proc rw 0 0\n");
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
    tree.Disk("0000:00:01.1", "sda", "8:0", {{"sda1", "8:1"}, {"sda2", "8:2"}});
    const std::string key = "pci-0000:00:01.1\\1";
    EXPECT_TRUE(setup.Status(key).disableable);

    tree.Write("proc/swaps", "Filename Type Size Used Priority\n/dev/sda2 partition 1 0 -2\n");
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda2 is active swap");
    tree.Write("proc/swaps", "Filename Type Size Used Priority\n");

    tree.Write("proc/mounts", "/dev/sda1 /mnt/data\\040disk ext4 rw 0 0\n");
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda1 is mounted on /mnt/data disk");
    tree.Write("proc/mounts", "");

    std::filesystem::create_directory(
        dir.Path() / "sys/block/sda/sda1/holders/dm-0"); // an LVM volume on the partition
    EXPECT_EQ(setup.Status(key).reason, "/dev/sda1 is part of an active md, LVM or dm device");
    DeviceChange refused = setup.Disable(key);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers/ata_piix/unbind"), "");
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
