// The detection on the simulated hardware: the channel is chosen, taken, probed on the
// detection thread, explained and made ready; plus the restart sequence and the session that
// the window drives.
#include "controllers/ChannelSession.h"
#include "controllers/ControllerFormModel.h"
#include "controllers/HddDetection.h"
#include "platform/PowerControl.h"
#include "platform/RunOnce.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"
#include "support/Deployment.h"
#include "support/IniFile.h"
#include "tests/support/ClientHarness.h"
#include "tools/MessageDialog.h"

#include <gtest/gtest.h>
#include <tuple>

#include <atomic>
#include <fstream>

namespace zkv {
namespace {

constexpr const char* kOkTail = "Press OK to continue with repair.\r\n"
                                "Press Retry to choose other controller.\r\n"
                                "Press Cancel to interrupt HDD detection.";
constexpr const char* kRetryTail = "Press Retry to choose another controller.\r\n"
                                   "Press Cancel to interrupt HDD detection.";
constexpr std::int32_t kORC = mb::OK | mb::Retry | mb::Cancel, kRC = mb::Retry | mb::Cancel;
const std::string kPrimary = "pci-0000:00:01.1\\1";

struct Host : IDetectionHost {
    std::vector<std::string> logs;
    std::string name;
    int statusTimer = 0, chosen = 0, closed = 0;
    bool wasReboot = false;
    std::vector<bool> rebootPending;
    std::string key = kPrimary;
    void Log(const std::string& t) override { logs.push_back(t); }
    void ShowProgress(int) override {}
    void ShowDriveName(const std::string& m) override { name = m; }
    void StartStatusTimer() override { ++statusTimer; }
    void ChooseChannel(TClassInfoList& list, TChannelChoice& outcome) override {
        ++chosen;
        TControllerFormModel form(&list, outcome, [this](const std::string& t) { Log(t); });
        form.Detect(list.FindByKey(key));
    }
    bool WasReboot() override { return wasReboot; }
    void SetRebootPending(bool on) override {
        rebootPending.push_back(on);
        wasReboot = on;
    }
    void CloseMainWindow() override { ++closed; }
    bool Logged(const std::string& t) const {
        return std::find(logs.begin(), logs.end(), t) != logs.end();
    }
};

struct Power final : IPowerControl {
    PowerResult answer{true, ""};
    int reboots = 0;
    PowerResult Reboot() override {
        ++reboots;
        return answer;
    }
    PowerResult PowerOff() override { return answer; }
};

std::string Json(const std::string& master, const std::string& slave,
                 const std::string& extra = "") {
    return R"({"channels": [{"command_block": 496, "control_block": 1014, "master": )" + master +
           R"(, "slave": )" + slave + "}]" + extra + "}";
}
const std::string kMasterDisk =
    R"({"type": "disk", "model": "MASTER DISK", "serial": "M1", "firmware": "1.0"})";
const std::string kSlaveDisk =
    R"({"type": "disk", "model": "SLAVE DISK", "serial": "S2", "firmware": "2.0"})";
const std::string kCd = R"({"type": "packet", "firmware": "C1"})";
const std::string kMute = R"({"type": "mute"})";
const std::string kNone = R"({"type": "none"})";

// A port whose first access waits for the test: the probe outlives the time-out.
struct GatedPort final : TSmallPort {
    explicit GatedPort(TSmallPort& p) : inner(p) {}
    TSmallPort& inner;
    std::atomic<bool> open{true};
    void Wait() {
        while (!open)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool OpenDriver() override { return inner.OpenDriver(); }
    void CloseDriver() override { inner.CloseDriver(); }
    bool IsOpen() const override { return inner.IsOpen(); }
    std::uint16_t ReadByte(std::uint16_t p) override { return Wait(), inner.ReadByte(p); }
    void WriteByte(std::uint16_t p, std::uint16_t v) override { Wait(), inner.WriteByte(p, v); }
    std::uint16_t ReadWord(std::uint16_t p) override { return Wait(), inner.ReadWord(p); }
    void WriteWord(std::uint16_t p, std::uint16_t v) override { Wait(), inner.WriteWord(p, v); }
    std::uint32_t ReadDWord(std::uint16_t p) override { return Wait(), inner.ReadDWord(p); }
    void WriteDWord(std::uint16_t p, std::uint32_t v) override { Wait(), inner.WriteDWord(p, v); }
};

struct Rig {
    explicit Rig(const std::string& json, bool gated = false)
        : cfg(ParseSimHardware(json)), hw(cfg), gate(hw), setup(cfg),
          list(setup, gated ? static_cast<TSmallPort&>(gate) : hw, hw.Clock()),
          detection(list, host, dir.Path() / "UserSetup.ini", &power, flags) {
        AtaGlobals::Instance().fCriticalATAError = false;
        AtaGlobals::Instance().FailureStreak = 0;
    }
    test::TempDir dir;
    SimHardwareConfig cfg;
    SimIdeHardware hw;
    GatedPort gate;
    SimDeviceSetup setup;
    TClassInfoList list;
    Host host;
    Power power;
    SharedFlags flags;
    THddDetection detection;
};

TEST(Detection, EveryRowGivesItsMessageAndButtons) {
    struct Row {
        std::string master, slave, text;
        std::int32_t buttons;
        bool vendor;
    };
    const std::string cd = "CD-ROM ZELKOVA SIMULATED CD ZKVCD00001 C1 ";
    const std::string slaveHdd = "HDD SLAVE DISK S2 2.0 detected on the selected channel as ";
    const std::string masterHdd = "HDD MASTER DISK M1 1.0 detected on the selected channel as "
                                  "Master.\r\n";
    const std::vector<Row> rows = {
        {kNone, kNone,
         "HDD was not detected (neither Master nor Slave)\r\nPress 'Retry' to choose another "
         "controller\r\nPress 'Cancel' to exit program",
         kRC, false},
        {kNone, kMute,
         std::string("Unknown device detected on the selected channel as Slave.\r\n") + kOkTail,
         kORC, true},
        {kNone, kSlaveDisk, slaveHdd + "Slave.\r\n" + kOkTail, kORC, false},
        {kMute, kMute,
         std::string("Unknown devices are detected on the selected channel, both Master and Slave "
                     "devices are present.\r\nIt may by caused by HDD error\r\nIf any Slave device "
                     "is present,\r\nremove it and restart the program, otherwise it can "
                     "interfere with repair.\r\n") +
             kOkTail,
         kORC, true},
        {kMute, kSlaveDisk,
         slaveHdd + "Slave.\r\nUnknown device is detected on the selected channel as Master.\r\n" +
             "It can be caused by malfunction of Slave HDD.\r\nIf any device is connected as "
             "Master,\r\nremove it and restart the program, otherwise it can interfere with "
             "repair.\r\n" +
             kOkTail,
         kORC, false},
        // A lone master answers for the empty slave position; that is no device.
        {kMasterDisk, kNone, masterHdd + kOkTail, kORC, false},
        {kMasterDisk, kMute,
         masterHdd +
             "Unknown device is detected on the selected channel as Slave.\r\nIt can be "
             "caused by malfunction of Master HDD.\r\nIf any Slave device is "
             "present,\r\nremove it and restart the program, otherwise it can interfere "
             "with repair.\r\n" +
             kOkTail,
         kORC, false},
        {kMasterDisk, kSlaveDisk,
         slaveHdd + "slave.\r\nRemove it and restart the program.\r\n" + kRetryTail, kRC, false},
        {kCd, kMasterDisk,
         cd +
             "is detected on the selected channel as Master.\r\nConnect your bad HDD to the "
             "secondary channel as Master and run the program again.\r\n" +
             kRetryTail,
         kRC, false},
        {kMasterDisk, kCd,
         cd +
             "is detected on the selected channel as Slave.\r\nIt prevents the repair.\r\n"
             "Disconnect it and restart the program.\r\n" +
             kRetryTail,
         kRC, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.master + " / " + row.slave);
        Rig r(Json(row.master, row.slave));
        ScriptedMessageDialog dlg;
        ScopedMessageDialog scope(dlg);
        dlg.Push(mrCancel);
        EXPECT_EQ(r.detection.DetectHDD(), 0);
        auto shown = dlg.ShownSoFar();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].request.text, row.text);
        EXPECT_EQ(shown[0].request.buttons, row.buttons);
        EXPECT_EQ(shown[0].request.needHelp, 1);
        EXPECT_EQ(shown[0].request.helpLink, SetupInstructionsAddress()); // Help leads somewhere
        EXPECT_EQ(shown[0].extra.items.size(), row.vendor ? 10u : 0u);
        EXPECT_TRUE(r.host.Logged("Trying to detect HDD on chosen channel."));
        EXPECT_TRUE(r.host.Logged("Cancelled by user."));
        EXPECT_FALSE(r.flags.DeviceReady());
    }
    // Identify data that was not accepted (kind 3) cannot be made by the simulator, nor can an
    // empty slave behind a device that answers (the master answers for it).
    DriveInfo none, rejected, disk;
    rejected.kind = KIND_ATA_REJECTED;
    disk.kind = KIND_ATA;
    disk.model = "ONLY DISK  ";
    disk.serial = "X9";
    disk.firmware = "F1";
    DriveInfo answered;
    answered.kind = KIND_ANSWERED;
    EXPECT_EQ(BuildDetectionMessage(none, rejected).text,
              std::string("HDD is detected on the selected channel as Slave, but its passport is "
                          "not readable.\r\n") +
                  kOkTail);
    EXPECT_EQ(BuildDetectionMessage(rejected, none).text,
              std::string("Invalid HDD is detected on the selected channel as Master.\r\n") +
                  kOkTail);
    EXPECT_EQ(
        BuildDetectionMessage(answered, rejected)
            .text.rfind(
                "Defective HDD is detected on the selected channel as Slave.\r\nUnknown device", 0),
        0u);
    EXPECT_EQ(BuildDetectionMessage(disk, none).text,
              "HDD ONLY DISK X9 F1 detected on the selected channel as Master.\r\n" +
                  std::string(kOkTail));
    DetectionMessage unknownMaster = BuildDetectionMessage(answered, none);
    EXPECT_TRUE(unknownMaster.vendorPrompt && unknownMaster.master);
    EXPECT_EQ(unknownMaster.text, "Unknown device detected on the selected channel as Master.\r\n" +
                                      std::string(kOkTail));
    DetectionMessage twoDefects = BuildDetectionMessage(disk, rejected);
    EXPECT_EQ(twoDefects.text, std::string("It seems you have defective HDD on the selected "
                                           "channel connected as Slave.\r\nRemove it and restart "
                                           "the program.\r\n") +
                                   kRetryTail);
    EXPECT_EQ(twoDefects.buttons, kRC);
}

TEST(Detection, OkMakesTheChannelReadyOnTheChosenPosition) {
    Rig r(Json(kNone, kMute));
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    dlg.Push(mrOK, 3); // the vendor list's fourth item: IBM
    ASSERT_EQ(r.detection.DetectHDD(), 1);
    EXPECT_TRUE(r.flags.DeviceReady());
    EXPECT_EQ(r.host.statusTimer, 1);
    EXPECT_TRUE(r.host.Logged("Trying to disable chosen IDE channel."));
    EXPECT_TRUE(r.host.Logged("Chosen IDE channel is disabled."));
    const DriveInfo& report = r.detection.Report();
    EXPECT_EQ(report.detected, 1);
    EXPECT_EQ(report.master, 0);
    EXPECT_EQ(report.kind, KIND_ANSWERED);
    EXPECT_EQ(report.vendor, 3);
    EXPECT_EQ(report.disabledByMe, 1);
    EXPECT_EQ(report.ports[0], 0x1F0u);
    EXPECT_EQ(report.ports[11], 0x3F6u);
    EXPECT_EQ(report.deviceDesc, "Primary IDE Channel");
    EXPECT_EQ(dlg.ShownSoFar()[0].extra.caption, "Select vendor of your HDD.");
    EXPECT_EQ(dlg.ShownSoFar()[0].extra.items[9], "Quantum");

    // The disk on the master: its model in the name panel, the settings written.
    Rig m(Json(kMasterDisk, kNone));
    dlg.Push(mrOK);
    ASSERT_EQ(m.detection.DetectHDD(), 1);
    EXPECT_EQ(m.host.name, "MASTER DISK");
    EXPECT_EQ(m.detection.Report().model, "MASTER DISK");
    EXPECT_EQ(m.detection.Report().master, 1);
    EXPECT_EQ(m.detection.Report().vendor, -1);
    EXPECT_TRUE(m.list.CurrentDevice()->Master());
    IniFile ini(m.dir.Path() / "UserSetup.ini");
    ASSERT_TRUE(ini.Load());
    EXPECT_EQ(ini.ReadString("CLIST DATA", "ACTIVE", ""), "THDCInfo");
    EXPECT_EQ(ini.ReadInteger("CLIST DATA", "ACTIVEINDEX", -9), 1);
    EXPECT_TRUE(ini.ReadBool(kPrimary, "DisabledByMe", false));
    EXPECT_TRUE(ini.ReadBool(kPrimary, "Master", false));
    EXPECT_EQ(ini.ReadString(kPrimary, "KernelDriver", ""), "ata_piix");
}

TEST(Detection, RetryChoosesAgainAndRefusalsAreLogged) {
    Rig r(Json(kNone, kNone));
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    dlg.Push(mrRetry);
    dlg.Push(mrCancel);
    EXPECT_EQ(r.detection.DetectHDD(), 0);
    EXPECT_EQ(r.host.chosen, 2);
    EXPECT_EQ(dlg.ShownSoFar().size(), 2u);
    // The channel taken at the first choice is accepted as it is at the second.
    EXPECT_EQ(r.setup.Calls().size(), 1u);

    // A refused choice in the form: OK keeps the form open, Cancel closes it.
    Rig q(Json(kMasterDisk, kNone,
               R"(, "controllers": [{"address": "0000:00:01.1", "in_use": true}])"));
    TChannelChoice outcome;
    TControllerFormModel form(&q.list, outcome, [](const std::string&) {});
    dlg.Push(mrOK);
    EXPECT_EQ(form.Detect(q.list.FindByKey(kPrimary)), TControllerFormModel::After::StayOpen);
    dlg.Push(mrCancel);
    EXPECT_EQ(form.Detect(q.list.FindByKey(kPrimary)), TControllerFormModel::After::Close);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.message, std::string(kCantDisableMessage) + "\r\nCancelled by user.");
    form.Cancel();
    EXPECT_EQ(outcome.message, "Cancelled by user.");
    // The tree: the controller with its two channels, overlays for what cannot be taken.
    ASSERT_EQ(form.Nodes().size(), 3u);
    EXPECT_EQ(form.Nodes()[1].parent, 0);
    EXPECT_TRUE(form.Nodes()[1].notDisableable);
    EXPECT_TRUE(form.Nodes()[0].expanded);
}

TEST(Detection, GivesUpAfterAHundredSeconds) {
    Rig r(Json(kMasterDisk, kNone), true);
    r.gate.open = false;
    std::int64_t t = 1000;
    r.detection.secondsNow = [&] { return t += 30; };
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    EXPECT_EQ(r.detection.DetectHDD(), 0);
    EXPECT_TRUE(r.host.Logged("Timeout error."));
    EXPECT_TRUE(dlg.ShownSoFar().empty());
    r.gate.open = true; // the probe finishes; the detection waits for it before it goes
}

TEST(Detection, ClosingTheWindowDuringTheProbeEndsTheDetection) {
    Rig r(Json(kMasterDisk, kNone), true);
    r.gate.open = false;
    // The window's close (from the event pump) gives the channel back: the probe is waited
    // for and nothing more happens on the channel.
    int pumps = 0;
    r.detection.pumpEvents = [&] {
        if (++pumps < 2)
            return; // before the choice
        r.gate.open = true;
        r.detection.Cancel();
    };
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    EXPECT_EQ(r.detection.DetectHDD(), 0);
    EXPECT_TRUE(r.host.Logged("Trying to detect HDD on chosen channel."));
    EXPECT_TRUE(dlg.ShownSoFar().empty());
    EXPECT_FALSE(r.flags.DeviceReady());
}

// The autostart entries of a test go into a directory of its own.
struct ScopedConfigHome {
    explicit ScopedConfigHome(const std::filesystem::path& dir) {
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            saved = old;
        ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }
    ~ScopedConfigHome() {
        if (saved.empty())
            ::unsetenv("XDG_CONFIG_HOME");
        else
            ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    }
    std::string saved;
};

TEST(Detection, RestartSequence) {
    const std::string restart =
        R"(, "controllers": [{"address": "0000:00:01.1", "restart_needed": true}])";
    {
        Rig r(Json(kMasterDisk, kNone, restart));
        ScopedConfigHome home(r.dir.Path() / "config");
        ScriptedMessageDialog dlg;
        ScopedMessageDialog scope(dlg);
        dlg.Push(mrYes);
        EXPECT_EQ(r.detection.DetectHDD(), 0);
        EXPECT_EQ(r.power.reboots, 1);
        EXPECT_EQ(r.host.rebootPending, std::vector<bool>{true});
        // The client starts once more after the restart, on the same data directory.
        std::ifstream entry(AutostartEntryPath());
        const std::string text((std::istreambuf_iterator<char>(entry)), {});
        EXPECT_NE(text.find("--data-dir " + r.dir.Path().string()), std::string::npos) << text;
        EXPECT_EQ(r.host.closed, 1);
        EXPECT_EQ(dlg.ShownSoFar()[0].request.text,
                  "Reboot is necessary to continue. Reboot system now?");
        IniFile ini(r.dir.Path() / "UserSetup.ini");
        ASSERT_TRUE(ini.Load());
        EXPECT_TRUE(ini.ReadBool(kPrimary, "DisabledByMe", false));
    }
    {
        Rig r(Json(kMasterDisk, kNone, restart));
        ScopedConfigHome home(r.dir.Path() / "config");
        r.power.answer = {false, "not allowed"};
        ScriptedMessageDialog dlg;
        ScopedMessageDialog scope(dlg);
        dlg.Push(mrYes);
        dlg.Push(mrOK);
        EXPECT_EQ(r.detection.DetectHDD(), 0);
        EXPECT_EQ(r.host.rebootPending, (std::vector<bool>{true, false}));
        EXPECT_EQ(dlg.ShownSoFar()[1].request.text,
                  "Cannot reboot computer.\r\nReboot computer manually and run this program "
                  "again.");
        EXPECT_TRUE(r.host.Logged("Otherwise you risk to corrupt data on your HDD."));
        EXPECT_FALSE(std::filesystem::exists(AutostartEntryPath()));
    }
    {
        // After the restart the stored choice is used without the form and without probing.
        Rig r(Json(kMasterDisk, kNone));
        IniFile ini(r.dir.Path() / "UserSetup.ini");
        ini.WriteString("CLIST DATA", "ACTIVE", "THDCInfo");
        ini.WriteInteger("CLIST DATA", "ACTIVEINDEX", 1);
        ASSERT_TRUE(ini.Save());
        r.host.wasReboot = true;
        EXPECT_EQ(r.detection.DetectHDD(), 1);
        EXPECT_EQ(r.host.chosen, 0);
        EXPECT_TRUE(r.flags.DeviceReady());
        EXPECT_FALSE(r.host.Logged("Trying to detect HDD on chosen channel."));
        // The channel came back to its driver with the restart: it is taken again first.
        EXPECT_EQ(r.setup.Calls(), std::vector<std::string>{"disable " + kPrimary});
    }
}

TEST(Detection, AResumeThatCannotTakeTheStoredChannelStartsAfresh) {
    // After the restart the stored channel is back with its driver and its disk is mounted.
    Rig r(Json(kMasterDisk, kNone,
               R"(, "controllers": [{"address": "0000:00:01.1", "in_use": true}])"));
    IniFile ini(r.dir.Path() / "UserSetup.ini");
    ini.WriteString("CLIST DATA", "ACTIVE", "THDCInfo");
    ini.WriteInteger("CLIST DATA", "ACTIVEINDEX", 1);
    ASSERT_TRUE(ini.Save());
    r.host.wasReboot = true;
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    dlg.Push(mrCancel); // the form's own refusal of the same channel
    EXPECT_EQ(r.detection.DetectHDD(), 0);
    EXPECT_FALSE(r.host.wasReboot);
    EXPECT_EQ(r.host.rebootPending, std::vector<bool>{false});
    EXPECT_EQ(r.host.chosen, 1); // the form, as at a fresh start
    EXPECT_TRUE(r.host.Logged("The IDE channel chosen before the restart cannot be taken: " +
                              std::string(kCantDisableMessage)));
    EXPECT_TRUE(r.host.Logged("a disk behind it holds a mounted file system"));
    EXPECT_TRUE(r.setup.Calls().empty());
}

TEST(ControllerForm, TheStatusIsReadAgainWhenTheFormShowsAndAtEachDetect) {
    Rig r(Json(kMasterDisk, kNone,
               R"(, "controllers": [{"address": "0000:00:01.1", "in_use": true}])"));
    ScriptedMessageDialog dlg;
    ScopedMessageDialog scope(dlg);
    TChannelChoice outcome;
    {
        TControllerFormModel form(&r.list, outcome, {});
        EXPECT_TRUE(form.Nodes()[1].notDisableable);
        dlg.Push(mrOK);
        EXPECT_EQ(form.Detect(r.list.FindByKey(kPrimary)), TControllerFormModel::After::StayOpen);
        // The user unmounts the disk and tries again in the same form.
        r.setup.SetInUse("0000:00:01.1", false);
        EXPECT_EQ(form.Detect(r.list.FindByKey(kPrimary)), TControllerFormModel::After::Close);
        EXPECT_TRUE(outcome.ok);
    }
    // Shown again later, the form shows what holds now.
    r.setup.SetInUse("0000:00:01.1", true);
    TControllerFormModel again(&r.list, outcome, {});
    EXPECT_TRUE(again.Nodes()[2].notDisableable);
}

// A disk reached through pass-through shows under its AHCI controller with a picture of its
// own; IDE channels keep the controller's. The form takes it as any channel.
TEST(ControllerForm, APassThroughDiskShowsUnderItsControllerWithItsOwnPicture) {
    Rig r(R"({"channels": [{"command_block": 496, "control_block": 1014, "master": )" +
          kMasterDisk + R"(}, {"command_block": 4096, "control_block": 4106,
          "pass_through": true, "master": )" +
          kSlaveDisk + R"(}],
        "controllers": [{"address": "0000:00:01.1", "channels": [0, -1]},
                        {"kind": "ahci", "address": "0000:00:1f.2", "channels": [1]}]})");
    TChannelChoice outcome;
    TControllerFormModel form(&r.list, outcome, {});
    using N = ControllerNode;
    std::vector<std::tuple<std::string, int, int>> tree;
    for (const ControllerNode& n : form.Nodes())
        tree.emplace_back(n.entry->Driver, n.parent, n.image);
    EXPECT_EQ(tree, (std::vector<std::tuple<std::string, int, int>>{
                        {"pci-0000:00:01.1\\0", -1, N::kController},
                        {"pci-0000:00:01.1\\1", 0, N::kController},
                        {"pci-0000:00:01.1\\2", 0, N::kController},
                        {"pci-0000:00:1f.2\\0", -1, N::kController},
                        {"pci-0000:00:1f.2-port1", 3, N::kPassThroughDisk}}));
    EXPECT_EQ(form.Detect(form.Nodes()[4].entry), TControllerFormModel::After::Close);
    EXPECT_TRUE(outcome.ok);
}

TEST(ChannelSession, ControllerKeyUnattendedReadyAndGivenBackAlsoAfterACrash) {
    test::TempDir dir;
    const auto file = dir.Path() / "hw.json";
    std::ofstream(file) << Json(kMasterDisk, kNone);
    UnattendedMessageDialog unattended;
    ScopedMessageDialog scope(unattended);
    SharedFlags::Instance().ResetDeviceReadyForTests();
    AtaGlobals::Instance().fCriticalATAError = false;

    Host host;
    ChannelSessionOptions o;
    o.hardware = "sim:" + file.string();
    o.userSetup = dir.Path() / "UserSetup.ini";
    o.controllerKey = "pci-0000:00:01.1/1";
    struct KeyHost : Host {
        ChannelSession* session = nullptr;
        void ChooseChannel(TClassInfoList&, TChannelChoice& outcome) override {
            ++chosen;
            session->ChooseByKey(key, outcome);
        }
    } keyHost;
    keyHost.key = o.controllerKey;
    std::string error;
    auto s = ChannelSession::Create(o, keyHost, nullptr, error);
    ASSERT_TRUE(s) << error;
    keyHost.session = s.get();
    EXPECT_EQ(s->CurrentDevice(), nullptr);
    ASSERT_EQ(s->DetectIfNeeded(), 1);
    EXPECT_EQ(s->DetectIfNeeded(), 1); // detected once: not again
    EXPECT_EQ(keyHost.chosen, 1);
    ASSERT_NE(s->CurrentDevice(), nullptr);
    EXPECT_EQ(s->ChosenDrive().model, "MASTER DISK");
    std::vector<std::uint8_t> stream;
    EXPECT_TRUE(s->WriteControllerStream(stream));
    EXPECT_FALSE(stream.empty());
    s.reset(); // ends without giving the channel back

    // The next run gives back what the marks say, even though it took nothing itself.
    auto next = ChannelSession::Create(o, host, nullptr, error);
    ASSERT_TRUE(next);
    auto* sim = dynamic_cast<SimDeviceSetup*>(&next->Hardware().Setup());
    ASSERT_NE(sim, nullptr);
    sim->Disable(kPrimary); // the simulated kernel still has the channel unbound
    next->List().RefreshStatus();
    next->GiveBack();
    EXPECT_TRUE(host.Logged("Trying to enable chosen IDE channel."));
    EXPECT_EQ(sim->Calls().back(), "enable " + kPrimary + " ata_piix");
    IniFile ini(o.userSetup);
    ASSERT_TRUE(ini.Load());
    EXPECT_FALSE(ini.ReadBool(kPrimary, "DisabledByMe", true));
    next->GiveBack(); // once only
    EXPECT_EQ(sim->Calls().size(), 2u);
}

} // namespace
} // namespace zkv
