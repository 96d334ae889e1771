// The window's channel session when the disk helper holds the hardware: the controller list,
// the detection and every engine operation go through the real zelkova-disk-helper, and a
// technician's batch answers exactly as the same batch on the engine in this process does.
#include "controllers/ChannelSession.h"
#include "helper/HelperDeviceSetup.h"
#include "helper/HelperLaunch.h"
#include "tests/support/SimLab.h"
#include "tests/unit/technician/TechFixture.h"
#include "tools/MessageDialog.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zkv::helper {
namespace {

constexpr const char* kKey = "pci-0000:00:01.1/1";

// Chooses the channel by its key, as --controller does, and logs nothing anywhere.
struct KeyHost : IDetectionHost {
    ChannelSession* session = nullptr;
    std::vector<std::string> log;
    void Log(const std::string& t) override { log.push_back(t); }
    void ShowProgress(int) override {}
    void ShowDriveName(const std::string&) override {}
    void StartStatusTimer() override {}
    void ChooseChannel(TClassInfoList&, TChannelChoice& outcome) override {
        session->ChooseByKey(kKey, outcome);
    }
    bool WasReboot() override { return false; }
    void SetRebootPending(bool) override {}
    void CloseMainWindow() override {}
    void SetBusyCursor(bool) override {}
};

struct Rig : test::SimLab {
    Rig()
        : SimLab(R"({"setup_state": "setup.state", "channels": [
            {"command_block": 496, "control_block": 1014,
             "master": {"type": "disk", "model": "SESSION DISK", "serial": "S1",
                        "sectors": 65536, "defects": [{"lba": 100, "error": "UNC"}]}},
            {"command_block": 368, "control_block": 886}]})") {
        SharedFlags::Instance().ResetDeviceReadyForTests();
        AtaGlobals::Instance().fCriticalATAError = false;
    }
    // A session over the helper `client` (null: the engine in this process).
    std::unique_ptr<ChannelSession> Session(KeyHost& host, DiskHelperClient* client,
                                            const char* setup) {
        ChannelSessionOptions o;
        o.hardware = Hardware();
        o.userSetup = dir.Path() / setup;
        o.controllerKey = kKey;
        if (client)
            o.remote = HelperChannels(*client);
        std::string error;
        auto s = ChannelSession::Create(o, host, nullptr, error);
        EXPECT_TRUE(s) << error;
        host.session = s.get();
        return s;
    }
    std::unique_ptr<DiskHelperClient> Helper() {
        HelperLaunchOptions o;
        o.hardware = Hardware();
        o.stateDir = (dir.Path() / "state").string();
        std::string error;
        auto c = StartDiskHelper(o, error);
        EXPECT_TRUE(c) << error;
        return c;
    }
    std::string State() const { return test::ReadAll(dir.Path() / "setup.state"); }

    UnattendedMessageDialog unattended;
    ScopedMessageDialog scope{unattended};
};

// A technician's batch: identify, write and read back, status, the defect read with its
// traces and repetitions, a reset, a read after it; its reply packet's body.
std::vector<std::uint8_t> RunTechnicianBatch(ChannelSession& s) {
    using namespace test;
    AtaCommandRecord id = Lab::Rw(0xEC, 0, 1, READREGS, 2000);
    id.Protocol = PR_PIO_READ;
    id.DataLen = 512;
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    AtaCommandRecord write = Lab::Rw(0x30, 7, 2, RESETENABLE | READREGS, 2000);
    write.Protocol = PR_PIO_WRITE;
    write.DataLen = 1024;
    AtaCommandRecord read = Lab::Rw(0x20, 7, 2, RESETENABLE | READREGS, 2000);
    read.Protocol = PR_PIO_READ;
    read.DataLen = 1024;
    AtaCommandRecord bad = ReadCmd(100, RESETENABLE | READREGS | WRITELOG);
    bad.RepeatCnt = 3;
    auto batch = Batch({{CMD_ATA_COMMAND, AtaItemData(id)},
                        {CMD_ATA_COMMAND, AtaItemData(write, data)},
                        {CMD_ATA_COMMAND, AtaItemData(read)},
                        {CMD_ATA_GET_STATUS, {}},
                        {CMD_ATA_COMMAND, AtaItemData(bad)},
                        {CMD_ATA_RESET, {}},
                        {CMD_ATA_COMMAND, AtaItemData(ReadCmd(8))}});
    QueuedMainThread main;
    ATASocket socket([&s] { return s.CurrentDevice(); }, main, AtaGlobals::Instance(),
                     SharedFlags::Instance());
    socket.ProcessBatch(*batch, {}, {});
    PacketRecord reply;
    socket.FinishReply(reply);
    return reply.body;
}

TEST(HelperSession, TheWindowsChannelIsDetectedAndDrivenThroughTheHelperAsInProcess) {
    Rig rig;
    auto client = rig.Helper();
    ASSERT_TRUE(client);
    KeyHost host;
    auto s = rig.Session(host, client.get(), "remote.ini");
    ASSERT_TRUE(s);
    ASSERT_EQ(s->DetectIfNeeded(), 1) << ::testing::PrintToString(host.log);
    EXPECT_EQ(s->ChosenDrive().model, "SESSION DISK");
    EXPECT_EQ(AtaGlobals::Instance().CurrentId.Model().rfind("SESSION DISK", 0), 0u);
    // The channel was taken by the helper, not by this process.
    EXPECT_NE(rig.State().find("bound 0000:00:01.1 \n"), std::string::npos) << rig.State();
    TControllerInfo* dev = s->CurrentDevice();
    ASSERT_NE(dev, nullptr);
    EXPECT_TRUE(dev->RemoteEngine());
    EXPECT_EQ(dev->PortList()[0], 496u);
    const auto remote = RunTechnicianBatch(*s);
    // The status timer's read goes there too.
    AtaCommandRecord st;
    dev->ReadStatus(st);
    EXPECT_EQ(st.SR & 0xC0, 0x40);
    s->GiveBack();
    EXPECT_NE(rig.State().find("bound 0000:00:01.1 ata_piix\n"), std::string::npos) << rig.State();
    s.reset();
    client.reset();

    // The same batch on a fresh copy of the same hardware, the engine in this process.
    std::filesystem::remove(rig.dir.Path() / "setup.state");
    SharedFlags::Instance().ResetDeviceReadyForTests();
    KeyHost localHost;
    auto local = rig.Session(localHost, nullptr, "local.ini");
    ASSERT_TRUE(local);
    ASSERT_EQ(local->DetectIfNeeded(), 1);
    EXPECT_FALSE(local->CurrentDevice()->RemoteEngine());
    const auto direct = RunTechnicianBatch(*local);
    local->GiveBack();
    ASSERT_FALSE(direct.empty());
    EXPECT_EQ(remote, direct);
}

TEST(HelperSession, AKilledWindowsChannelIsGivenBackByTheHelper) {
    Rig rig;
    test::KilledClient killed([&](const test::KilledClient::Report& report) {
        auto client = rig.Helper();
        KeyHost host;
        if (client) {
            auto s = rig.Session(host, client.get(), "UserSetup.ini");
            if (s && s->DetectIfNeeded() == 1 && s->CurrentDevice())
                report(client->Pid());
        }
    });
    ASSERT_GT(killed.HelperPid(), 0);
    EXPECT_NE(rig.State().find("bound 0000:00:01.1 \n"), std::string::npos) << rig.State();
    killed.Kill(10000);
    EXPECT_NE(rig.State().find("bound 0000:00:01.1 ata_piix\n"), std::string::npos) << rig.State();
}

} // namespace
} // namespace zkv::helper
