// CMD_REBOOT and CMD_SHUTDOWN through LogindPowerControl to a mock logind on a private
// dbus-daemon: the method and its argument reach the bus, the run-once entry and WasReboot are
// written after a request that logind took, and a refusal answers 0x1003 with item flags 2.
#include "platform/LogindPowerControl.h"
#include "platform/RunOnce.h"
#include "support/IniFile.h"
#include "tests/support/ClientHarness.h"
#include "tests/support/Peer.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <thread>

namespace zkv {
namespace {

using namespace std::chrono_literals;

std::string FileText(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Calls a method with string arguments on the private bus; true when it returned.
bool BusCall(const std::string& address, const char* dest, const char* path, const char* iface,
             const char* method, const char* sig, const char* a = nullptr, const char* b = nullptr,
             const char* c = nullptr, const char* d = nullptr, const char* e = nullptr,
             int* boolOut = nullptr) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return false;
    sd_bus_set_address(bus, address.c_str());
    sd_bus_set_bus_client(bus, 1);
    bool ok = false;
    if (sd_bus_start(bus) >= 0) {
        sd_bus_message* m = nullptr;
        sd_bus_error err = SD_BUS_ERROR_NULL;
        int r = sd_bus_call_method(bus, dest, path, iface, method, &err, &m, sig, a, b, c, d, e);
        ok = r >= 0;
        if (ok && boolOut)
            ok = sd_bus_message_read(m, "b", boolOut) >= 0;
        sd_bus_error_free(&err);
        sd_bus_message_unref(m);
    }
    sd_bus_flush_close_unref(bus);
    return ok;
}

class PowerTest : public ::testing::Test {
protected:
    void SetUp() override {
        address = "unix:path=" + (dir.Path() / "bus").string();
        ASSERT_TRUE(bus.Start("/usr/bin/dbus-daemon",
                              {"--session", "--nofork", "--address=" + address},
                              dir.Path() / "bus.out", dir.Path() / "bus.err"));
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir.Path() / "config").c_str(), 1);
        for (int i = 0; i < 200 && !std::filesystem::exists(dir.Path() / "bus"); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(
            logind.Start("/usr/bin/python3",
                         {"-m", "dbusmock", "--system", "-t", "logind", "-l", MockLog().string()},
                         dir.Path() / "mock.out", dir.Path() / "mock.err"));
        int owned = 0;
        for (int i = 0; i < 500 && !owned; ++i) {
            BusCall(address, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "NameHasOwner", "s", "org.freedesktop.login1", nullptr,
                    nullptr, nullptr, nullptr, &owned);
            if (!owned)
                std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(owned) << "the mock logind did not come up: "
                           << FileText(dir.Path() / "mock.err");

        std::filesystem::create_directory(dir.Path() / "data");
        client = std::make_unique<test::ClientHarness>(dir.Path() / "data");
        client->socket->SetServices({nullptr, nullptr, nullptr, nullptr, &power});
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        client->Adopt(sv[0]);
        peer = std::make_unique<test::Peer>(sv[1]);
    }
    void TearDown() override {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        ::unsetenv("XDG_CONFIG_HOME");
    }
    std::filesystem::path MockLog() const { return dir.Path() / "mock.log"; }

    // Sends one command item and returns the reply packet.
    PacketRecord Ask(std::int32_t code, std::uint32_t flags) {
        auto p = test::CommandPacket(code, flags, 7);
        p.header.senderId = 4242;
        peer->Write(test::Wire(p, client->transport));
        std::vector<WireEvent> got;
        client->PumpUntil([&] {
            auto more = peer->Read(client->transport, 1, 20ms);
            got.insert(got.end(), more.begin(), more.end());
            return !got.empty();
        });
        return got.empty() ? PacketRecord{} : got[0].packet;
    }

    test::TempDir dir;
    std::string address;
    test::ChildProcess bus, logind;
    LogindPowerControl power; // the system bus, found through DBUS_SYSTEM_BUS_ADDRESS
    std::unique_ptr<test::ClientHarness> client;
    std::unique_ptr<test::Peer> peer;
};

TEST_F(PowerTest, RefusedPowerOffAndAcceptedRebootReachLogind) {
    // logind refuses the power-off: 0x1003 with flags 2, nothing registered.
    ASSERT_TRUE(BusCall(address, "org.freedesktop.login1", "/org/freedesktop/login1",
                        "org.freedesktop.DBus.Mock", "AddMethod", "sssss",
                        "org.freedesktop.login1.Manager", "PowerOff", "b", "",
                        "raise dbus.exceptions.DBusException('not now', "
                        "name='org.freedesktop.login1.OperationInProgress')"));
    PacketRecord off = Ask(CMD_SHUTDOWN, kItemFlagWantsReply);
    PacketConverter offItems(off);
    ASSERT_EQ(offItems.Count(), 1u) << ::testing::PrintToString(client->log);
    EXPECT_EQ(offItems.Item(0)->code, COMMAND_ERROR);
    EXPECT_EQ(offItems.Item(0)->flags, 2u);
    EXPECT_EQ(off.header.delivery, FOR_ONE);
    EXPECT_EQ(off.header.destinationId, 4242);
    EXPECT_FALSE(std::filesystem::exists(AutostartEntryPath()));
    EXPECT_FALSE(client->settings.WasReboot);
    EXPECT_TRUE(client->Logged("not now"));

    // The restart is taken: Reboot(false) on the bus, the entry and WasReboot written.
    PacketRecord reboot = Ask(CMD_REBOOT, kItemFlagWantsReply | 0x20);
    PacketConverter items(reboot);
    ASSERT_EQ(items.Count(), 1u);
    EXPECT_EQ(items.Item(0)->code, COMMAND_OK);
    EXPECT_EQ(reboot.header.addresseeRole, static_cast<std::uint8_t>(Role::AUTOMAT));
    EXPECT_NE(FileText(MockLog()).find("Reboot False"), std::string::npos) << FileText(MockLog());
    const std::string entry = FileText(AutostartEntryPath());
    EXPECT_NE(entry.find("--data-dir " + (dir.Path() / "data").string()), std::string::npos)
        << entry;
    IniFile flags(client->data.RebootState());
    ASSERT_TRUE(flags.Load());
    EXPECT_EQ(flags.ReadInteger("ZkvUser", "WasReboot", 0), 1);
    EXPECT_EQ(flags.ReadInteger("ZkvUser", "Automat", 0), 1);

    // The next start removes the entry.
    EXPECT_TRUE(RemoveRunOnce());
    EXPECT_FALSE(std::filesystem::exists(AutostartEntryPath()));
}

} // namespace
} // namespace zkv
