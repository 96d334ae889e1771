// The controller lists over the simulated controllers: entries, settings, take-over, give-back.
#include "controllers/ControllerList.h"
#include "programs/ata/AtaTool.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"
#include "support/IniFile.h"
#include "tests/support/ClientHarness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace zkv {
namespace {

constexpr const char* kDisk = R"({"type": "disk", "model": "LIST DISK"})";

struct Rig {
    explicit Rig(const std::string& json)
        : cfg(ParseSimHardware(json)), hw(cfg), setup(cfg), list(setup, hw, hw.Clock()) {}
    TControllerInfo* Entry(const std::string& key) { return list.FindByKey(key); }
    SimHardwareConfig cfg;
    SimIdeHardware hw;
    SimDeviceSetup setup;
    TClassInfoList list;
};

std::string Plain() {
    return std::string(
               R"({"channels": [{"command_block": 496, "control_block": 1014, "master": )") +
           kDisk + R"(}, {"command_block": 368, "control_block": 886}]})";
}

std::string WithControllers(const std::string& controllers) {
    return std::string(
               R"({"channels": [{"command_block": 496, "control_block": 1014, "master": )") +
           kDisk + R"(}], "controllers": )" + controllers + "}";
}

TEST(ControllerList, AFileWithoutControllersIsOneLegacyIdeController) {
    Rig r(Plain());
    auto& hdc = r.list.Classes()[0]->Entries();
    ASSERT_EQ(hdc.size(), 3u);
    EXPECT_TRUE(r.list.Classes()[1]->Entries().empty());
    EXPECT_EQ(hdc[0]->Driver, "pci-0000:00:01.1\\0");
    EXPECT_EQ(hdc[0]->DriverIndex, 0);
    EXPECT_EQ(hdc[0]->Chanals, 0);
    auto* primary = dynamic_cast<THDCDevice*>(hdc[1].get());
    ASSERT_NE(primary, nullptr);
    EXPECT_EQ(primary->DriverIndex, 1);
    EXPECT_EQ(primary->Chanals, 1);
    EXPECT_TRUE(primary->PortsKnown());
    EXPECT_EQ(primary->CommandBase(), 0x1F0);
    EXPECT_EQ(primary->ControlBase(), 0x3F6u);
    EXPECT_EQ(primary->PCIVEN, 0x8086);
    EXPECT_EQ(primary->PCIDEV, 0x7010);
    EXPECT_EQ(dynamic_cast<THDCDevice*>(hdc[2].get())->CommandBase(), 0x170);

    std::vector<std::string> lines;
    primary->Dump(lines);
    auto has = [&](const std::string& l) {
        return std::find(lines.begin(), lines.end(), l) != lines.end();
    };
    EXPECT_TRUE(has("Inited:                   true"));
    EXPECT_TRUE(has("Service:                  atapi"));
    EXPECT_TRUE(has("PCIVEN:                   0x8086"));
    EXPECT_TRUE(has("PCISUBSYS:                0x00000000"));
    EXPECT_TRUE(has("Disableable:              true"));
    EXPECT_TRUE(has("Range1:                0x000001F0 0x000001F7"));
    EXPECT_TRUE(has("Range2:                0x000003F6 0x000003F6"));

    // The stream form reads back into an entry of the same class.
    TMemoryStream s;
    ASSERT_EQ(primary->WriteToStream(s), 0);
    THDCDevice copy(r.hw, r.hw.Clock(), std::vector<IoRange>{});
    s.Seek(0);
    ASSERT_EQ(copy.ReadFromStream(s), 0);
    EXPECT_EQ(copy.Driver, primary->Driver);
    EXPECT_EQ(copy.HardwareID, primary->HardwareID);
    EXPECT_EQ(copy.Chanals, 1);
    ASSERT_EQ(copy.Ranges().size(), 2u);
    EXPECT_EQ(copy.Ranges()[1].start, 0x3F6u);
    std::vector<std::uint8_t> all;
    EXPECT_TRUE(r.list.WriteToStream(all));
    EXPECT_GT(all.size(), s.Size());
}

TEST(ControllerList, SettingsComeBackWithAnEmptyRaidClassAndIndexZero) {
    test::TempDir dir;
    IniFile ini(dir.Path() / "UserSetup.ini");
    {
        Rig r(Plain());
        TControllerInfo* primary = r.Entry("pci-0000:00:01.1\\1");
        primary->SetMaster(false);
        primary->SetDisabledByMe(true);
        // Index 0 is a valid choice (here the controller entry).
        ASSERT_EQ(r.list.SelectController(r.Entry("pci-0000:00:01.1\\0")), 0);
        r.list.SaveSettings(ini);
        ASSERT_TRUE(ini.Save());
    }
    IniFile back(dir.Path() / "UserSetup.ini");
    ASSERT_TRUE(back.Load());
    EXPECT_EQ(back.ReadString("CLIST DATA", "ACTIVE", ""), "THDCInfo");
    EXPECT_EQ(back.ReadInteger("CLIST DATA", "ACTIVEINDEX", -1), 0);
    Rig r(Plain());
    EXPECT_EQ(r.list.LoadSettings(back), 0);
    EXPECT_EQ(r.list.CurrentEntry(), r.Entry("pci-0000:00:01.1\\0"));
    EXPECT_FALSE(r.Entry("pci-0000:00:01.1\\1")->Master());
    EXPECT_TRUE(r.Entry("pci-0000:00:01.1\\1")->DisabledByMe());
    EXPECT_TRUE(r.Entry("pci-0000:00:01.1\\2")->Master());

    back.WriteString("CLIST DATA", "ACTIVE", "TNoSuchInfo");
    EXPECT_NE(r.list.LoadSettings(back), 0);
    EXPECT_EQ(r.list.CurrentClass(), nullptr);
}

TEST(ControllerList, TakesTheChannelAndGivesItBack) {
    Rig r(WithControllers(R"([{"address": "0000:00:01.1", "channels": [0, -1]},
        {"address": "0000:00:02.0", "kind": "ide", "in_use": true, "channels": [-1, -1]},
        {"address": "0000:00:1f.2", "kind": "ahci", "ranges": [[57344, 57351], [57360, 57363]]}])"));
    bool restart = false, ok = false;
    std::string message;

    TControllerInfo* ahci = r.Entry("pci-0000:00:1f.2\\0");
    ASSERT_NE(ahci, nullptr);
    EXPECT_NE(dynamic_cast<TRAIDDevice*>(ahci), nullptr);
    EXPECT_EQ(ahci->PrepareForRepair(restart, ok, message), 1);
    EXPECT_EQ(message, kNotIdeMessage);
    EXPECT_EQ(r.Entry("pci-0000:00:01.1\\0")->PrepareForRepair(restart, ok, message), 1);
    EXPECT_EQ(message, kVirtualMessage);
    EXPECT_EQ(r.Entry("pci-0000:00:02.0\\1")->PrepareForRepair(restart, ok, message), 1);
    EXPECT_EQ(message, kCantDisableMessage);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(r.setup.Calls().empty());

    TControllerInfo* primary = r.Entry("pci-0000:00:01.1\\1");
    EXPECT_EQ(primary->PrepareForRepair(restart, ok, message), 0);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(restart);
    EXPECT_TRUE(primary->Disabled && primary->DisabledByMe());
    EXPECT_EQ(primary->KernelDriver, "ata_piix");
    r.list.RefreshStatus();
    TControllerInfo* secondary = r.Entry("pci-0000:00:01.1\\2");
    EXPECT_TRUE(secondary->Disabled); // the function went as a whole
    ok = false;
    EXPECT_EQ(secondary->PrepareForRepair(restart, ok, message), 0);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(secondary->DisabledByMe());
    EXPECT_EQ(r.setup.Calls(), std::vector<std::string>{"disable pci-0000:00:01.1\\1"});

    EXPECT_EQ(r.list.EnableMyChannels(restart), 0);
    EXPECT_FALSE(restart);
    EXPECT_FALSE(primary->DisabledByMe());
    EXPECT_FALSE(r.Entry("pci-0000:00:01.1\\2")->Disabled);
    EXPECT_EQ(r.setup.Calls().back(), "enable pci-0000:00:01.1\\1 ata_piix");
    EXPECT_EQ(primary->EnableChannel(restart), 0); // not disabled: nothing to do
    EXPECT_EQ(r.setup.Calls().size(), 2u);
}

TEST(ControllerList, AChannelTakenForARestartIsStillGivenBack) {
    Rig r(WithControllers(R"([{"address": "0000:00:01.1", "restart_needed": true}])"));
    TControllerInfo* primary = r.Entry("pci-0000:00:01.1\\1");
    bool restart = false, ok = false;
    std::string message;
    EXPECT_EQ(primary->PrepareForRepair(restart, ok, message), 0);
    EXPECT_TRUE(ok && restart);
    EXPECT_TRUE(primary->DisabledByMe());
    restart = false;
    EXPECT_EQ(r.list.EnableMyChannels(restart), 0);
    EXPECT_TRUE(restart);
    EXPECT_EQ(r.setup.Calls().back(), "enable pci-0000:00:01.1\\1 ata_piix");
}

TEST(ControllerList, ToolListsTakesAndRefuses) {
    test::TempDir dir;
    const std::string file = (dir.Path() / "hw.json").string();
    std::ofstream(file) << WithControllers(
        R"([{"address": "0000:00:01.1"}, {"address": "0000:00:02.0", "in_use": true}])");
    auto run = [&](std::vector<std::string> args, int& rc) {
        std::ostringstream out, err;
        args.insert(args.begin(), {"--hardware", "sim:" + file});
        rc = RunAtaTool(args, out, err);
        return out.str().empty() ? nlohmann::json() : nlohmann::json::parse(out.str());
    };
    int rc = -1;
    auto list = run({"controllers"}, rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(list["controllers"].size(), 6u);
    const auto& primary = list["controllers"][1];
    EXPECT_EQ(primary["key"], "pci-0000:00:01.1\\1");
    EXPECT_EQ(primary["class"], "THDCInfo");
    EXPECT_EQ(primary["description"], "Primary IDE Channel");
    EXPECT_EQ(primary["service"], "atapi");
    EXPECT_EQ(primary["hardware_id"], "PCI\\VEN_8086&DEV_7010&SUBSYS_00000000&REV_00");
    EXPECT_EQ(primary["chanals"], 1);
    EXPECT_EQ(primary["ranges"], nlohmann::json::parse("[[496, 503], [1014, 1014]]"));
    EXPECT_EQ(primary["disabled"], false);
    EXPECT_EQ(primary["disableable"], true);

    auto took = run({"take", "pci-0000:00:01.1/1"}, rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(took["ok"], true);
    EXPECT_EQ(took["driver"], "ata_piix");
    auto refused = run({"take", "pci-0000:00:02.0\\1"}, rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(refused["refused"], true);
    EXPECT_EQ(refused["message"], kCantDisableMessage);
    auto gave = run({"give", "pci-0000:00:01.1\\1"}, rc);
    EXPECT_EQ(rc, 0); // not disabled in this fresh process: nothing to do
    run({"take"}, rc);
    EXPECT_EQ(rc, 2);
    run({"take", "pci-0000:00:09.0\\1"}, rc);
    EXPECT_EQ(rc, 1);
}

} // namespace
} // namespace zkv
