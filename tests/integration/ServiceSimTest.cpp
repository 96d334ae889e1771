// The client's core against the real service stand-in, over loopback TCP.
#include "protocol/PacketJson.h"
#include "support/ByteOrder.h"
#include "support/IniFile.h"
#include "tests/support/ClientHarness.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <fstream>

namespace zkv {
namespace {

using namespace std::chrono_literals;
using test::ClientHarness;
using test::TempDir;

class ServiceSimTest : public ::testing::Test {
protected:
    // Starts the stand-in on a free port with the given options; returns the port.
    std::uint16_t StartSim(std::vector<std::string> args) {
        auto portFile = dir.Path() / "port";
        std::filesystem::remove(portFile);
        args.insert(args.end(), {"--port", "0", "--port-file", portFile.string()});
        EXPECT_TRUE(sim.Start(ZKV_SERVICE_SIM, args, Out(), dir.Path() / "sim.err"));
        std::string line = test::WaitForLine(portFile, 5s);
        EXPECT_FALSE(line.empty()) << "the stand-in did not start";
        return line.empty() ? 0 : static_cast<std::uint16_t>(std::stoi(line));
    }
    std::filesystem::path Out() const { return dir.Path() / "sim.out"; }

    // What the stand-in printed, one JSON object a line.
    std::vector<Json> Printed() {
        std::vector<Json> out;
        for (const auto& l : test::ReadLines(Out()))
            out.push_back(Json::parse(l, nullptr, false));
        return out;
    }
    // Received packets whose first item has `code`.
    std::vector<Json> PrintedItems(int code, int kind) {
        std::vector<Json> items;
        for (const Json& j : Printed())
            if (j.contains("items") && j["header"]["kind"] == kind)
                for (const Json& it : j["items"])
                    if (it["code"] == code)
                        items.push_back(it);
        return items;
    }
    bool WaitPrinted(const std::function<bool()>& done, std::chrono::milliseconds t = 5s) {
        const auto end = std::chrono::steady_clock::now() + t;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            client.PumpFor(10ms);
        }
        return true;
    }
    bool Engaged() { return client.Logged("The engagement is open."); }

    TempDir dir;
    std::filesystem::path dataDir = [this] {
        auto d = dir.Path() / "data";
        std::filesystem::create_directory(d);
        return d;
    }();
    ClientHarness client{dataDir};
    test::ChildProcess sim;
};

TEST_F(ServiceSimTest, LogsInOpensTheEngagementAndStoresIt) {
    auto port = StartSim({"--order", "31337", "--message", "Welcome, tester."});
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.PumpUntil([&] { return Engaged(); }));
    EXPECT_TRUE(client.Logged("Server version is 1.0.0:0"));
    EXPECT_TRUE(client.Logged("<b>Welcome, tester.</b>"));
    EXPECT_TRUE(client.Logged("Number of the order: 31337"));
    EXPECT_EQ(client.socket->OwnId(), 1001);
    EXPECT_NE(client.transport.WorkingKey(), kBuiltinKey);

    SeansData d = ReadSeansData(client.data.UserSetup());
    EXPECT_EQ(d.orderId, 31337);
    EXPECT_EQ(d.seansId, 77);
    EXPECT_EQ(d.flags, 3);
    EXPECT_EQ(d.logPath, "logs/engagement-77");

    // The stand-in decoded both requests: the login under the built-in key, the engagement
    // request under the connection's key.
    ASSERT_TRUE(WaitPrinted([&] { return !PrintedItems(CMD_CREATE_SEANS, 0).empty(); }));
    auto login = PrintedItems(CMD_LET_ME_CONNECT, 0);
    ASSERT_EQ(login.size(), 1u);
    EXPECT_EQ(login[0]["data_length"], 6 + 16 + 6 + 100);
    auto request = PrintedItems(CMD_CREATE_SEANS, 0);
    EXPECT_EQ(request[0]["flags"], 0x21);
    EXPECT_EQ(request[0]["data"], "e9030000000000000000000000000000"
                                  "00");
    EXPECT_TRUE(client.connection.Active());
}

TEST_F(ServiceSimTest, ResumesTheStoredEngagementAfterATechnicianReboot) {
    IniFile ini(client.data.UserSetup());
    ini.WriteInteger("SEANS DATA", "OrderID", 17);
    ini.WriteInteger("SEANS DATA", "SeansID", 905);
    ini.WriteInteger("SEANS DATA", "Flags", 6);
    ini.WriteString("SEANS DATA", "LogPath", "srv");
    ASSERT_TRUE(ini.Save());
    client.settings.WasReboot = true;
    client.settings.Automat = true;
    ASSERT_TRUE(SaveRebootFlags(client.data.RebootState(), client.settings));

    auto port = StartSim({});
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.PumpUntil([&] { return Engaged(); }));
    ASSERT_TRUE(WaitPrinted([&] { return !PrintedItems(CMD_CREATE_SEANS, 0).empty(); }));
    auto request = PrintedItems(CMD_CREATE_SEANS, 0);
    // own id 1001, order 17, engagement 905, flags 6, "srv"
    EXPECT_EQ(request[0]["data"], "e9030000"
                                  "11000000"
                                  "89030000"
                                  "06000000"
                                  "73727600");
    ClientSettings stored;
    LoadRebootFlags(client.data.RebootState(), stored);
    EXPECT_FALSE(stored.WasReboot);
    // The stand-in kept the engagement it was asked to resume.
    EXPECT_EQ(ReadSeansData(client.data.UserSetup()).seansId, 905);
}

TEST_F(ServiceSimTest, EveryFramingFaultIsSurvivedThroughARealSocket) {
    auto port = StartSim({"--faults", "keepalive,corrupt-header,huge-header,undecodable-body",
                          "--split-header", "--body-segment", "5", "--segment-delay-ms", "2"});
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.PumpUntil([&] { return Engaged(); }));
    // After each fault the stand-in sends a check command; the client answers all four.
    ASSERT_TRUE(WaitPrinted([&] { return PrintedItems(COMMAND_OK, 1).size() >= 4; }));
    auto replies = PrintedItems(COMMAND_OK, 1);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(replies[i]["echo"], i + 1);
    const auto& s = client.framing->Stats();
    EXPECT_EQ(s.keepalives, 1u);
    EXPECT_EQ(s.badHeaders, 2u);
    EXPECT_EQ(s.badBodies, 1u);
    EXPECT_EQ(client.pingRestarts, 3);
    EXPECT_TRUE(client.Logged("could not be decoded"));
    EXPECT_TRUE(client.connection.Active());
}

TEST_F(ServiceSimTest, KeepalivesRestartThePingWatchdog) {
    auto port = StartSim({"--keepalive-ms", "40"});
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(client.PumpUntil([&] { return client.pingRestarts >= 3; }));
    EXPECT_TRUE(client.connection.Active());
}

TEST_F(ServiceSimTest, ServerCloseLeavesReconnectOnButAShortReplyTurnsItOff) {
    {
        auto port = StartSim({"--close-after-login"});
        ASSERT_TRUE(client.Connect(port));
        client.PumpUntil([] { return false; }, 5s); // ends with the connection
        ASSERT_EQ(client.disconnects.size(), 1u);
        EXPECT_FALSE(client.disconnects[0]); // a retry follows
        EXPECT_EQ(client.transport.WorkingKey(), kBuiltinKey);
        sim.Stop();
    }
    {
        auto port = StartSim({"--short-login-reply"});
        ASSERT_TRUE(client.Connect(port));
        client.PumpUntil([] { return false; }, 5s);
        ASSERT_EQ(client.disconnects.size(), 2u);
        EXPECT_TRUE(client.disconnects[1]); // no retry
        EXPECT_TRUE(client.Logged("Wrong server reply."));
    }
}

TEST_F(ServiceSimTest, PlaysATechnicianScriptAndPrintsTheAnswers) {
    auto script = dir.Path() / "script.jsonl";
    std::ofstream(script) << R"({"delay_ms": 20})"
                             "\n"
                          << R"({"header":{"sender_role":3,"addressee_role":2},)"
                             R"("items":[{"code":0,"flags":1,"echo":42}]})"
                             "\n"
                          << R"({"keepalive":true})"
                             "\n"
                          << R"({"delay_ms": 300})"
                             "\n";
    auto port = StartSim({"--script", script.string(), "--close-after-script"});
    ASSERT_TRUE(client.Connect(port));
    client.PumpUntil([] { return false; }, 5s);
    ASSERT_TRUE(Engaged());
    ASSERT_TRUE(WaitPrinted([&] { return !PrintedItems(COMMAND_OK, 1).empty(); }));
    EXPECT_EQ(PrintedItems(COMMAND_OK, 1)[0]["echo"], 42);
    EXPECT_GE(client.pingRestarts, 1);
    ASSERT_EQ(client.disconnects.size(), 1u);
}

TEST_F(ServiceSimTest, HelpDescribesTheOptions) {
    test::ChildProcess help;
    ASSERT_TRUE(help.Start(ZKV_SERVICE_SIM, {"--help"}, Out(), dir.Path() / "err"));
    EXPECT_EQ(help.Wait(5s), 0);
    std::string all;
    for (const auto& l : test::ReadLines(Out()))
        all += l + "\n";
    for (const char* opt : {"--port", "--faults", "--script", "--keepalive-ms", "--split-header",
                            "--body-segment", "--close-after-login", "--result-code"})
        EXPECT_NE(all.find(opt), std::string::npos) << opt;
    test::ChildProcess bad;
    ASSERT_TRUE(bad.Start(ZKV_SERVICE_SIM, {"--no-such"}, Out(), dir.Path() / "err"));
    EXPECT_EQ(bad.Wait(5s), 2);
}

} // namespace
} // namespace zkv
