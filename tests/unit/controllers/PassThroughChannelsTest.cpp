// Pass-through channels in the controller lists: found in a prepared sysfs tree (libata ports
// and a USB disk), held and given back; and on the simulated hardware through zelkova-ata.
#include "SysfsTree.h"
#include "controllers/ControllerList.h"
#include "platform/LinuxSmallPort.h"
#include "platform/SysfsDeviceSetup.h"
#include "programs/ata/AtaTool.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"
#include "sim/SimIde.h"
#include "sim/SimPassThrough.h"
#include "tests/support/SimLab.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace zkv {
namespace {

using test::SysfsTree;

const DeviceSetupEntry* Find(const std::vector<DeviceSetupEntry>& v, const std::string& key) {
    for (const auto& e : v)
        if (e.key == key)
            return &e;
    return nullptr;
}

// A SCSI device with its generic node and disk below `hostDir` (relative to sys/devices).
void ScsiDisk(SysfsTree& tree, const std::string& scsiDir, const std::string& sg,
              const std::string& disk, const std::string& dev,
              const std::vector<std::pair<std::string, std::string>>& parts = {}) {
    namespace fs = std::filesystem;
    const fs::path root = tree.Root();
    fs::create_directories(root / "sys/devices" / scsiDir / "scsi_generic" / sg);
    const std::string diskDir = "sys/devices/" + scsiDir + "/block/" + disk;
    fs::create_directories(root / diskDir / "holders");
    tree.Write(diskDir + "/dev", dev + "\n");
    fs::create_directories(root / "sys/dev/block");
    for (const auto& [p, d] : parts) {
        fs::create_directories(root / diskDir / p / "holders");
        tree.Write(diskDir + "/" + p + "/dev", d + "\n");
        tree.Write(diskDir + "/" + p + "/partition", "1\n");
        fs::create_directory_symlink("../../devices/" + scsiDir + "/block/" + disk + "/" + p,
                                     root / "sys/dev/block" / d);
    }
    fs::create_directory_symlink("../devices/" + scsiDir + "/block/" + disk,
                                 root / "sys/block" / disk);
    fs::create_directory_symlink("../../devices/" + scsiDir + "/block/" + disk,
                                 root / "sys/dev/block" / dev);
}

struct PassThroughSysfs : ::testing::Test {
    test::TempDir dir;
    SysfsTree tree{dir.Path()};
    void SetUp() override {
        // AHCI with the system's disk on port 1, a free disk on port 3 (the kernel's port
        // numbers come from ata_port/ataN/port_no), an empty port 2.
        tree.Function("0000:00:1f.2", 0x010601, 0x8086, 0x2922, "ahci");
        const std::string ahci = "pci0000:00/0000:00:1f.2";
        std::filesystem::create_directories(dir.Path() / "sys/devices" / ahci / "ata2/host1");
        for (auto [ata, no] : {std::pair{"ata1", "1"}, {"ata2", "2"}, {"ata5", "3"}}) {
            const std::string p = "sys/devices/" + ahci + "/" + ata + "/ata_port/" + ata;
            std::filesystem::create_directories(dir.Path() / p);
            tree.Write(p + "/port_no", std::string(no) + "\n");
        }
        ScsiDisk(tree, ahci + "/ata1/host0/target0:0:0/0:0:0:0", "sg0", "sda", "8:0",
                 {{"sda1", "8:1"}});
        ScsiDisk(tree, ahci + "/ata5/host4/target4:0:0/4:0:0:0", "sg1", "sdb", "8:16");
        // A USB disk behind an xHCI function; a USB host without disks stays unlisted.
        tree.Function("0000:00:14.0", 0x0C0330, 0x8086, 0xA36D, "xhci_hcd");
        tree.Function("0000:00:14.1", 0x0C0330, 0x8086, 0xA36E, "xhci_hcd");
        ScsiDisk(tree, "pci0000:00/0000:00:14.0/usb2/2-1/2-1.3/2-1.3:1.0/host6/target6:0:0/6:0:0:0",
                 "sg2", "sdc", "8:32");
        tree.Write("proc/self/mountinfo", "22 1 8:1 / / rw,relatime - ext4 /dev/root rw\n");
    }
};

TEST_F(PassThroughSysfs, ListsPortsAndUsbDisksAndHoldsOnlyFreeOnes) {
    SysfsDeviceSetup setup(dir.Path());
    const auto hdc = setup.Enumerate(DeviceClassKind::HardDiskController);
    ASSERT_EQ(hdc.size(), 5u);
    const DeviceSetupEntry* host = Find(hdc, "pci-0000:00:1f.2\\0");
    const DeviceSetupEntry* port1 = Find(hdc, "pci-0000:00:1f.2-port1");
    const DeviceSetupEntry* port3 = Find(hdc, "pci-0000:00:1f.2-port3");
    const DeviceSetupEntry* usbHost = Find(hdc, "pci-0000:00:14.0\\0");
    const DeviceSetupEntry* usb = Find(hdc, "usb-2-1.3");
    ASSERT_TRUE(host && port1 && port3 && usbHost && usb);
    EXPECT_TRUE(host->passThroughHost && usbHost->passThroughHost);
    EXPECT_EQ(host->className, "HDC");
    EXPECT_EQ(port1->passThrough, "/dev/sg0");
    EXPECT_EQ(port1->block, "sda");
    EXPECT_EQ(port3->passThrough, "/dev/sg1");
    EXPECT_EQ(port3->block, "sdb");
    EXPECT_EQ(port3->deviceDesc, "SATA port 3");
    EXPECT_TRUE(port3->ranges.empty());
    EXPECT_EQ(usb->passThrough, "/dev/sg2");
    EXPECT_EQ(usb->block, "sdc");
    EXPECT_EQ(usb->function, "0000:00:14.0");
    // The function's disks are channels now, so it is no longer an adapter.
    EXPECT_TRUE(setup.Enumerate(DeviceClassKind::RaidAdapter).empty());

    DeviceStatus sys = setup.Status(port1->key);
    EXPECT_TRUE(sys.present);
    EXPECT_FALSE(sys.disableable);
    EXPECT_EQ(sys.reason, "/dev/sda1 is mounted on /");
    DeviceChange refused = setup.Disable(port1->key);
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(refused.inUse);

    DeviceChange took = setup.Disable(port3->key);
    ASSERT_TRUE(took.ok) << took.error;
    EXPECT_TRUE(setup.Status(port3->key).disabled);
    // Nothing was unbound.
    EXPECT_EQ(tree.Read("sys/bus/pci/drivers/ahci/unbind"), "");
    ASSERT_TRUE(setup.Enable(port3->key, "").ok);
    EXPECT_FALSE(setup.Status(port3->key).disabled);

    // In the list: drivable channels, a controller entry that is never driven.
    SimHardwareConfig cfg;
    SimIdeHardware hw(cfg);
    TClassInfoList list(setup, hw, hw.Clock());
    TControllerInfo* ch = list.FindByKey("pci-0000:00:1f.2-port3");
    ASSERT_TRUE(ch);
    EXPECT_TRUE(ch->Drivable());
    EXPECT_EQ(ch->Chanals, 1);
    EXPECT_EQ(ch->Block, "sdb");
    bool restart = false, ok = false;
    std::string message;
    TControllerInfo* sysCh = list.FindByKey("pci-0000:00:1f.2-port1");
    ASSERT_TRUE(sysCh);
    EXPECT_EQ(sysCh->PrepareForRepair(restart, ok, message), 1);
    EXPECT_EQ(message, kCantDisableMessage);
    TControllerInfo* hostEntry = list.FindByKey("pci-0000:00:1f.2\\0");
    ASSERT_TRUE(hostEntry);
    EXPECT_FALSE(hostEntry->Drivable());
    EXPECT_EQ(hostEntry->PrepareForRepair(restart, ok, message), 1);
    EXPECT_EQ(message, kNotIdeMessage);
    EXPECT_EQ(ch->PrepareForRepair(restart, ok, message), 0);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(ch->Disabled);
    EXPECT_EQ(ch->EnableChannel(restart), 0);
}

TEST(PassThroughTool, RunsVerbsOnTheSimulatedChannelAndRefusesWhatIsInUse) {
    test::SimLab lab(test::kPassThroughLab);
    auto run = [&](std::vector<std::string> args, int& rc) {
        std::ostringstream out, err;
        args.insert(args.begin(), {"--hardware", lab.Hardware()});
        rc = RunAtaTool(args, out, err);
        std::vector<nlohmann::json> lines;
        std::istringstream in(out.str());
        for (std::string l; std::getline(in, l);)
            lines.push_back(nlohmann::json::parse(l));
        return lines;
    };
    int rc = -1;
    auto list = run({"controllers"}, rc);
    ASSERT_EQ(rc, 0);
    nlohmann::json port, ide;
    for (const auto& e : list.at(0)["controllers"]) {
        if (e["key"] == "pci-0000:00:1f.2-port1")
            port = e;
        if (e["key"] == "pci-0000:00:01.1\\1")
            ide = e;
    }
    ASSERT_FALSE(port.is_null());
    EXPECT_EQ(port["passthrough"], "simsg1");
    EXPECT_EQ(port["block"], "simd1");
    EXPECT_EQ(port["chanals"], 1);
    EXPECT_TRUE(port["ranges"].empty());
    EXPECT_EQ(port["disableable"], true);
    EXPECT_FALSE(ide.contains("passthrough") || ide.contains("block"));

    auto id = run({"--device", "pci-0000:00:1f.2-port1", "identify"}, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(id.at(0)["model"], "PASS THROUGH DISK");
    auto read = run({"--device", "pci-0000:00:1f.2-port1", "read", "99999"}, rc);
    EXPECT_EQ(rc, 0);
    auto status = run({"--device", "pci-0000:00:1f.2-port1", "status"}, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(status.at(0)["sr"], 0x50);

    auto busy = run({"--device", "pci-0000:00:1f.3-port1", "identify"}, rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(busy.at(0)["message"], kCantDisableMessage);
    run({"--device", "pci-0000:00:1f.2-port9", "identify"}, rc);
    EXPECT_EQ(rc, 1);
    run({"--device", "pci-0000:00:1f.2-port1", "--slave", "identify"}, rc);
    EXPECT_EQ(rc, 2);
    run({"--device", "pci-0000:00:1f.2-port1", "--channel", "0x1F0:0x3F6", "status"}, rc);
    EXPECT_EQ(rc, 2);
}

// Where port I/O is refused, a pass-through channel is taken, detected, read, reset and given
// back without a single port access; an IDE channel of the same list would need them.
TEST(PassThroughWithoutPorts, TheChannelIsDrivenWithThePortRefused) {
    const SimHardwareConfig cfg = ParseSimHardware(R"({"channels": [
        {"command_block": 496, "control_block": 1014, "master": {"type": "disk"}},
        {"command_block": 4096, "control_block": 4106, "pass_through": true,
         "master": {"type": "disk", "model": "PASS THROUGH DISK", "sectors": 100000,
                    "defects": [{"lba": 5000, "error": "UNC"}]}}],
      "controllers": [{"address": "0000:00:01.1", "channels": [0, -1]},
                      {"kind": "ahci", "address": "0000:00:1f.2", "channels": [1]}]})");
    SimIdeHardware hw(cfg);
    SimDeviceSetup setup(cfg);
    TLinuxSmallPort refused({}); // never opened: what a process without port permission has
    TClassInfoList list(setup, refused, hw.Clock(), [&](const DeviceSetupEntry& e) {
        std::size_t channel = 0;
        return SimDeviceSetup::PassThroughChannel(e.passThrough, channel)
                   ? std::make_unique<SimPassThrough>(hw, channel, false)
                   : nullptr;
    });
    TControllerInfo* ch = list.FindByKey("pci-0000:00:1f.2-port1");
    ASSERT_TRUE(ch && ch->Drivable());
    bool restart = false, ok = false;
    std::string message;
    ASSERT_EQ(ch->PrepareForRepair(restart, ok, message), 0) << message;
    ch->DetectDevices();
    EXPECT_EQ(ch->MasterInfo().kind, KIND_ATA);
    EXPECT_EQ(ch->MasterInfo().model, "PASS THROUGH DISK");
    auto read = [&](std::uint32_t lba) {
        AtaCommandRecord r;
        r.CR = 0x24;
        r.Protocol = PR_PIO_READ;
        r.Flags = RESETENABLE | READREGS | EXTADDR;
        r.Time = 2000;
        r.SC = 1;
        r.SN = lba & 0xFF;
        r.CL = (lba >> 8) & 0xFF;
        r.CH = (lba >> 16) & 0xFF;
        r.DH = 0xE0;
        r.DataLen = 512;
        r.Buffer.assign(512, 0);
        ch->ExecuteCommand(r);
        return r;
    };
    EXPECT_EQ(read(99999).Result, ATA_OK);
    const AtaCommandRecord bad = read(5000);
    EXPECT_EQ(bad.Result, ATA_DEVICE_ERROR);
    EXPECT_EQ(bad.SN | (bad.CL << 8), 5000);
    AtaCommandRecord reset;
    ch->ResetDevice(reset);
    EXPECT_EQ(reset.Result, ATA_OK);
    AtaCommandRecord status;
    ch->ReadStatus(status);
    EXPECT_EQ(status.Result, ATA_OK);
    EXPECT_EQ(ch->EnableChannel(restart), 0);
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_EQ(refused.FailedAccesses(), 0u);

    // The IDE channel beside it reaches for the refused port at once.
    TControllerInfo* ide = list.FindByKey("pci-0000:00:01.1\\1");
    ASSERT_TRUE(ide);
    ide->DetectDevices();
    EXPECT_GT(refused.FailedAccesses(), 0u);
}

} // namespace
} // namespace zkv
