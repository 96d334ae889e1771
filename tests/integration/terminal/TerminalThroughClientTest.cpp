// A technician session at the drive's terminal, through the real client: the stand-in lists
// the ports, opens the pty and types a command; the terminal's answer must come back to it as
// CMD_COMPORT_SHOW_DATA.
#include "protocol/PacketJson.h"
#include "protocol/Vocabulary.h"
#include "support/ByteOrder.h"
#include "support/UserData.h"
#include "tests/support/ClientHarness.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace zkv {
namespace {

using namespace std::chrono_literals;

std::string HexOf(const std::vector<std::int32_t>& values, std::string_view tail = {}) {
    std::vector<std::uint8_t> b;
    ByteWriter w(b);
    for (auto v : values)
        w.I32(v);
    w.Bytes(tail);
    return ToHex(b);
}

std::string TextOf(const Json& item) {
    std::vector<std::uint8_t> b;
    FromHex(item.value("data", std::string()), b);
    return std::string(b.begin(), b.end());
}

TEST(TerminalThroughClient, TechnicianTypesAndReadsTheAnswer) {
    test::TempDir dir;
    const auto d = dir.Path();

    test::ChildProcess terminal;
    ASSERT_TRUE(terminal.Start(ZKV_DRIVE_TERMINAL, {}, d / "pty", d / "terminal.err"));
    const std::string pty = test::WaitForLine(d / "pty", 5s);
    ASSERT_FALSE(pty.empty()) << "the drive terminal did not start";

    // The technician: list, open port 1 at 9600 bit/s, type "V" and a carriage return.
    std::ofstream(d / "script.jsonl")
        << R"({"delay_ms": 300})"
        << "\n"
        << R"({"header":{"sender_role":3,"addressee_role":2},"items":[)"
        << R"({"code":41,"flags":1,"echo":41},)"
        << R"({"code":42,"flags":1,"echo":42,"data":")" << HexOf({1, 9600, 1, 8, 0, 0, 1})
        << R"("},{"code":43,"flags":1,"echo":43,"data":")"
        << HexOf({0, 0}, std::string_view("V\r\0", 3)) << R"("}]})"
        << "\n"
        << R"({"delay_ms": 3000})"
        << "\n";
    test::ChildProcess sim;
    ASSERT_TRUE(sim.Start(ZKV_SERVICE_SIM,
                          {"--port", "0", "--port-file", (d / "port").string(), "--script",
                           (d / "script.jsonl").string()},
                          d / "sim.out", d / "sim.err"));
    const std::string port = test::WaitForLine(d / "port", 5s);
    ASSERT_FALSE(port.empty()) << "the stand-in did not start";

    UserInfo user;
    user.userName = "NoName";
    user.email = "user@example.org";
    user.password = "482916";
    ProxySetting proxy;
    proxy.serverHost = "127.0.0.1";
    proxy.serverPort = std::stoi(port);
    std::filesystem::create_directories(d / "data");
    SaveUserData(d / "data" / "user.dat", user, proxy);
    // Simulated ports: the port-I/O check passes without root rights.
    std::ofstream(d / "hw.json")
        << R"({"channels": [{"command_block": 496, "control_block": 1014, "master": {"type": "disk"}}]})";
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    test::ChildProcess client;
    ASSERT_TRUE(client.Start(ZKV_USER_CLIENT,
                             {"--data-dir", (d / "data").string(), "--serial-ports", pty,
                              "--unattended", "--hardware", "sim:" + (d / "hw.json").string(),
                              "--controller", "pci-0000:00:01.1/1", "--update-url",
                              "http://127.0.0.1:9/zelkova/autoupdate.txt"},
                             d / "client.out", d / "client.err"));

    // Replies by the command they answer, and the terminal text that reached the technician.
    std::map<int, Json> replies;
    std::string shown;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        replies.clear();
        shown.clear();
        for (const auto& line : test::ReadLines(d / "sim.out")) {
            Json p = Json::parse(line, nullptr, false);
            if (p.is_discarded() || !p.contains("items"))
                continue;
            for (const Json& item : p["items"]) {
                if (p["header"]["kind"] == 1 && item.value("echo", 0) >= 41)
                    replies[item.value("echo", 0)] = item;
                if (p["header"]["kind"] == 0 && item["code"] == CMD_COMPORT_SHOW_DATA)
                    shown += TextOf(item);
            }
        }
        if (replies.count(41) && replies[41]["code"] == UNKNOWN_COMMAND)
            GTEST_SKIP() << "the engine does not hand the serial commands to the bridge yet";
        if (shown.find("bit/s\r\nT>") != std::string::npos)
            break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(replies.count(43), 1u) << "no answer to the typed command";
    EXPECT_EQ(replies[41]["code"], COMMAND_OK);
    EXPECT_EQ(TextOf(replies[41]).size(), 32u) << "one port and the six settings";
    EXPECT_EQ(replies[42]["code"], COMMAND_OK);
    EXPECT_EQ(replies[43]["code"], COMMAND_OK);
    EXPECT_NE(shown.find("V\r\nSimulated drive terminal, 9600 bit/s\r\nT>"), std::string::npos)
        << shown;
}

} // namespace
} // namespace zkv
