// Starting the disk helper as the client does (through a pkexec stand-in, or directly for the
// lab hardware), what the helper refuses under pkexec, and the crash record that gives back a
// channel a killed helper left taken.
#include "helper/HelperLaunch.h"
#include "controllers/ControllerList.h"
#include "helper/HelperDeviceSetup.h"
#include "helper/HelperState.h"
#include "sim/SimDeviceSetup.h"
#include "sim/SimHardwareJson.h"
#include "tests/support/SimLab.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zkv::helper {
namespace {

constexpr const char* kPrimary = "pci-0000:00:01.1\\1";

using test::ReadAll;

std::filesystem::path Script(const std::filesystem::path& dir, const std::string& name,
                             const std::string& body) {
    const auto p = dir / name;
    std::ofstream(p) << "#!/bin/sh\n" << body;
    chmod(p.c_str(), 0755);
    return p;
}

struct PkexecStandIn {
    explicit PkexecStandIn(const std::string& body) {
        path = Script(dir.Path(), "pkexec", body);
        setenv("ZELKOVA_PKEXEC", path.c_str(), 1);
    }
    ~PkexecStandIn() { unsetenv("ZELKOVA_PKEXEC"); }
    test::TempDir dir;
    std::filesystem::path path;
};

TEST(HelperLaunch, ThroughPkexecTheHelperBesideTheClientStartsWithoutArguments) {
    // The stand-in does what pkexec does to the environment and notes what it was asked.
    test::TempDir out;
    const auto args = out.Path() / "args";
    PkexecStandIn pkexec("echo \"$@\" >'" + args.string() +
                         "'\nexport PKEXEC_UID=1000\nexec \"$@\" 2>/dev/null\n");
    HelperLaunchOptions o;
    o.hardware = "linux";
    o.root = false;
    std::string error;
    auto client = StartDiskHelper(o, error);
    ASSERT_TRUE(client) << error;
    const std::string beside =
        std::filesystem::path(ZKV_DISK_HELPER).parent_path().string() + "/zelkova-disk-helper";
    EXPECT_EQ(ReadAll(args), beside + "\n");
    std::vector<ListEntry> list;
    EXPECT_TRUE(client->List(list, error)) << error;
}

TEST(HelperLaunch, ADismissedAuthorisationIsToldAsSuch) {
    PkexecStandIn pkexec("exit 126\n");
    HelperLaunchOptions o;
    std::string error;
    EXPECT_FALSE(StartDiskHelper(o, error));
    EXPECT_EQ(error, "the authorisation was dismissed");
}

TEST(HelperLaunch, UnderPkexecTheLabOptionsAreRefused) {
    // Someone asks pkexec for the helper over a file of their choosing, to be read as root.
    test::TempDir dir;
    std::ofstream(dir.Path() / "hw.json") << R"({"channels": []})";
    for (const std::string& option :
         {"--hardware sim:" + (dir.Path() / "hw.json").string(),
          std::string("--hardware linux:/tmp"), "--state-dir " + dir.Path().string()}) {
        const std::string cmd = "PKEXEC_UID=1000 '" + std::string(ZKV_DISK_HELPER) + "' " + option +
                                " </dev/null >/dev/null 2>'" + (dir.Path() / "log").string() + "'";
        const int status = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2) << option;
        EXPECT_NE(ReadAll(dir.Path() / "log").find("refused"), std::string::npos) << option;
        EXPECT_EQ(ReadAll(dir.Path() / "log").find("serving"), std::string::npos) << option;
    }
}

bool Disabled(DiskHelperClient& c, const std::string& key) {
    std::vector<ListEntry> list;
    std::string error;
    EXPECT_TRUE(c.List(list, error)) << error;
    for (const ListEntry& e : list)
        if (e.key == key)
            return e.disabled;
    ADD_FAILURE() << "no entry " << key;
    return false;
}

TEST(HelperLaunch, AChannelLeftByAKilledHelperIsGivenBackAtTheNextStart) {
    // The simulated device setup keeps its drivers in a file, as the kernel keeps them across
    // a helper that dies.
    test::SimLab lab(R"({"setup_state": "setup.state", "channels": [
        {"command_block": 496, "control_block": 1014,
         "master": {"type": "disk", "model": "RECORD DISK", "sectors": 4096}}]})");
    const auto state = lab.dir.Path() / "state";
    HelperLaunchOptions o;
    o.hardware = lab.Hardware();
    o.stateDir = state.string();
    std::string error;
    auto first = StartDiskHelper(o, error);
    ASSERT_TRUE(first) << error;
    ChannelReply taken;
    ASSERT_TRUE(first->Take(kPrimary, taken, error) && taken.ok) << error << taken.message;
    EXPECT_EQ(std::filesystem::status(state).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    ASSERT_EQ(kill(first->Pid(), SIGKILL), 0);
    waitpid(first->Pid(), nullptr, 0);
    first.reset();

    // The killed helper gave nothing back; its record is there.
    ASSERT_NE(ReadAll(lab.dir.Path() / "setup.state").find("bound 0000:00:01.1 \n"),
              std::string::npos)
        << ReadAll(lab.dir.Path() / "setup.state");
    const auto log = lab.dir.Path() / "helper.log";
    const int saved = dup(2);
    const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(logFd, 2);
    auto second = StartDiskHelper(o, error);
    dup2(saved, 2);
    close(saved);
    close(logFd);
    ASSERT_TRUE(second) << error;
    EXPECT_FALSE(Disabled(*second, kPrimary));
    EXPECT_NE(
        ReadAll(log).find(std::string("Gave back channel ") + kPrimary + " left taken by helper"),
        std::string::npos)
        << ReadAll(log);
    EXPECT_TRUE(std::filesystem::is_empty(state));
}

TEST(HelperState, ARecordThatIsALinkOrTooLargeIsNotRead) {
    test::TempDir dir;
    const auto big = dir.Path() / "held-1";
    std::ofstream(big) << "key k\npid 1\n" << std::string(kMaxRecordBytes, '#');
    const auto link = dir.Path() / "held-2";
    std::filesystem::create_symlink("/etc/passwd", link);
    CrashRecord r;
    std::string error;
    EXPECT_FALSE(ReadCrashRecord(big.string(), r, error));
    EXPECT_FALSE(ReadCrashRecord(link.string(), r, error));
}

} // namespace
} // namespace zkv::helper

namespace zkv::helper {
namespace {

TEST(HelperDeviceSetup, TheControllerListOverTheHelperIsTheHardwaresAndTakesThroughIt) {
    test::SimLab lab(R"({"channels": [
        {"command_block": 496, "control_block": 1014,
         "master": {"type": "disk", "model": "LISTED DISK", "sectors": 4096}},
        {"command_block": 368, "control_block": 886}]})");
    const SimHardwareConfig cfg = LoadSimHardware(lab.file.string());
    SimIdeHardware port(cfg);
    SimDeviceSetup direct(cfg);
    TClassInfoList local(direct, port, port.Clock());

    HelperLaunchOptions o;
    o.hardware = lab.Hardware();
    o.stateDir = (lab.dir.Path() / "state").string();
    std::string error;
    auto client = StartDiskHelper(o, error);
    ASSERT_TRUE(client) << error;
    HelperDeviceSetup remoteSetup(*client);
    TClassInfoList remote(remoteSetup, port, port.Clock());

    ASSERT_EQ(remote.Classes().size(), local.Classes().size());
    for (std::size_t c = 0; c < local.Classes().size(); ++c) {
        auto& want = local.Classes()[c]->Entries();
        auto& got = remote.Classes()[c]->Entries();
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(got[i]->Driver, want[i]->Driver);
            EXPECT_EQ(got[i]->DeviceDesc, want[i]->DeviceDesc);
            EXPECT_EQ(got[i]->HardwareID, want[i]->HardwareID);
            EXPECT_EQ(got[i]->Service, want[i]->Service);
            EXPECT_EQ(got[i]->Chanals, want[i]->Chanals);
            EXPECT_EQ(got[i]->Disableable, want[i]->Disableable);
            EXPECT_EQ(got[i]->Ranges().size(), want[i]->Ranges().size());
        }
    }

    TControllerInfo* e = remote.FindByKey(kPrimary);
    ASSERT_TRUE(e);
    bool restart = false, ok = false;
    std::string message;
    ASSERT_EQ(e->PrepareForRepair(restart, ok, message), 0) << message;
    EXPECT_TRUE(ok);
    EXPECT_TRUE(remoteSetup.Status(kPrimary).disabled);
    EXPECT_EQ(remote.EnableMyChannels(restart), 0);
    const DeviceStatus back = remoteSetup.Status(kPrimary);
    EXPECT_FALSE(back.disabled);
    EXPECT_FALSE(back.driver.empty());
}

} // namespace
} // namespace zkv::helper

namespace zkv::helper {
namespace {

TEST(HelperDeviceSetup, AKilledClientsChannelIsBackInTheDeviceSetup) {
    test::SimLab lab(R"({"setup_state": "setup.state", "channels": [
        {"command_block": 496, "control_block": 1014,
         "master": {"type": "disk", "model": "KILLED CLIENT", "sectors": 4096}}]})");
    const auto state = lab.dir.Path() / "setup.state";
    test::KilledClient killed([&](const test::KilledClient::Report& report) {
        // The client: its controller list over the helper takes the channel.
        HelperLaunchOptions o;
        o.hardware = lab.Hardware();
        o.stateDir = (lab.dir.Path() / "state").string();
        std::string error;
        if (auto client = StartDiskHelper(o, error)) {
            HelperDeviceSetup setup(*client);
            const SimHardwareConfig cfg = LoadSimHardware(lab.file.string());
            SimIdeHardware port(cfg);
            TClassInfoList list(setup, port, port.Clock());
            bool restart = false, ok = false;
            std::string message;
            TControllerInfo* e = list.FindByKey(kPrimary);
            if (e && e->PrepareForRepair(restart, ok, message) == 0 && ok)
                report(client->Pid());
        }
    });
    ASSERT_GT(killed.HelperPid(), 0);
    EXPECT_NE(ReadAll(state).find("bound 0000:00:01.1 \n"), std::string::npos) << ReadAll(state);

    killed.Kill(10000);
    EXPECT_NE(ReadAll(state).find("bound 0000:00:01.1 ata_piix\n"), std::string::npos)
        << ReadAll(state);
}

} // namespace
} // namespace zkv::helper

namespace zkv::helper {
namespace {

TEST(DiskHelper, APassThroughChannelIsServedAndADiskInUseIsRefused) {
    test::SimLab lab(test::kPassThroughLab);
    HelperLaunchOptions o;
    o.hardware = lab.Hardware();
    o.stateDir = (lab.dir.Path() / "state").string();
    std::string error;
    auto client = StartDiskHelper(o, error);
    ASSERT_TRUE(client) << error;
    std::vector<ListEntry> list;
    ASSERT_TRUE(client->List(list, error)) << error;
    std::string free, inUse;
    for (const ListEntry& e : list)
        if (!e.setup.passThrough.empty() && e.drivable)
            (e.setup.function == "0000:00:1f.3" ? inUse : free) = e.key;
    ASSERT_FALSE(free.empty());
    ASSERT_FALSE(inUse.empty());

    ChannelReply reply;
    ASSERT_TRUE(client->Take(inUse, reply, error)) << error;
    EXPECT_FALSE(reply.ok);
    ASSERT_TRUE(client->Take(free, reply, error)) << error;
    ASSERT_TRUE(reply.ok) << reply.message;

    THelperChannel channel(*client, free);
    channel.SetMaster(true);
    AtaCommandRecord id;
    id.DH = 0xA0;
    id.CR = 0xEC;
    id.Protocol = PR_PIO_READ;
    id.DataLen = 512;
    id.Time = 2000;
    id.RepeatCnt = 1;
    id.Flags = READREGS;
    channel.ExecuteCommand(id);
    ASSERT_EQ(id.Result, ATA_OK) << channel.LastError();
    ASSERT_EQ(id.Buffer.size(), 512u);
    // The model, in the words' byte order of IDENTIFY data.
    std::string model;
    for (std::size_t i = 54; i < 94; i += 2) {
        model += static_cast<char>(id.Buffer[i + 1]);
        model += static_cast<char>(id.Buffer[i]);
    }
    EXPECT_EQ(model.rfind("PASS THROUGH DISK", 0), 0u) << model;
}

} // namespace
} // namespace zkv::helper
