#include "agent/ComPortBridge.h"
#include "sim/DriveTerminal.h"
#include "sim/SimSerialPort.h"
#include "support/ByteOrder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include <unistd.h>

namespace zkv {
namespace {

// The engine's side as the bridge sees it: counts routings, keeps what goes to the technician.
struct RecordingLink final : ITechnicianLink {
    int routings = 0;
    std::vector<std::pair<CommandCode, std::string>> sent;
    void ApplyReplyRouting() override { ++routings; }
    bool SendToTechnician(CommandCode code, std::span<const std::uint8_t> data) override {
        EXPECT_FALSE(data.empty());
        EXPECT_EQ(data.back(), 0) << "texts go out zero-terminated";
        sent.emplace_back(code, std::string(data.begin(), data.end() - 1));
        return true;
    }
    bool TechnicianAttached() const override { return true; }
    std::int32_t CurrentSender() const override { return 77; }
    std::string Shown() const {
        std::string all;
        for (const auto& [code, text] : sent)
            if (code == CMD_COMPORT_SHOW_DATA)
                all += text;
        return all;
    }
};

ItemRecord Command(std::int32_t code, std::vector<std::int32_t> values,
                   std::string_view tail = {}) {
    std::vector<std::uint8_t> data;
    ByteWriter w(data);
    for (auto v : values)
        w.I32(v);
    w.Bytes(tail);
    ItemRecord item(code, kItemFlagWantsReply);
    item.SetData(std::move(data));
    return item;
}

std::vector<std::int32_t> Values(const ItemRecord& reply) {
    std::vector<std::int32_t> out;
    ByteReader r(reply.Data());
    std::int32_t v;
    while (r.I32(v))
        out.push_back(v);
    return out;
}

constexpr ComPortPauses kQuick{5, 40, 20, 400};
constexpr int kTickMs = 2; // the timer's 90 ticks take 180 ms here

class BridgeOnPty : public ::testing::Test {
protected:
    void Start(DriveTerminal::Options options = {}) {
        terminal = std::make_unique<DriveTerminal>(options);
        terminal->Start();
        port = std::make_unique<TermiosSerialPort>(std::vector<std::string>{terminal->Path()}, loop,
                                                   kTickMs);
        bridge = std::make_unique<ComPortBridge>(*port, kQuick);
    }
    ItemRecord Run(ItemRecord cmd) {
        ItemRecord reply;
        reply.code = cmd.code;
        bridge->Handle(cmd, reply, link);
        return reply;
    }
    void OpenAt(std::int32_t baud) {
        ASSERT_EQ(Run(Command(CMD_COMPORT_SET_PARAM, {1, baud, 1, 8, 0, 0, 1})).code, COMMAND_OK);
    }
    bool ShownContains(std::string_view text, int ms = 3000) {
        return loop.RunUntil([&] { return link.Shown().find(text) != std::string::npos; }, ms);
    }

    PollNotifiers loop;
    RecordingLink link;
    std::unique_ptr<DriveTerminal> terminal;
    std::unique_ptr<TermiosSerialPort> port;
    std::unique_ptr<ComPortBridge> bridge;
};

TEST(ComPortList, ListsTheDevicesThatOpenWithTheSixSettings) {
    DriveTerminal first, second;
    PollNotifiers loop;
    TermiosSerialPort port({first.Path(), "/nonexistent/ttyS9", second.Path()}, loop);
    ComPortBridge bridge(port);
    RecordingLink link;
    ItemRecord reply;
    bridge.Handle(Command(CMD_COMPORT_GET_LIST, {}), reply, link);
    EXPECT_EQ(reply.code, COMMAND_OK);
    EXPECT_EQ(reply.dataLength, 36);
    EXPECT_EQ(Values(reply), (std::vector<std::int32_t>{2, 1, 3, 19200, 1, 8, 0, 0, 0}));
    EXPECT_EQ(link.routings, 0);

    TermiosSerialPort none({"/nonexistent/ttyS0"}, loop);
    ComPortBridge empty(none);
    ItemRecord refused;
    empty.Handle(Command(CMD_COMPORT_GET_LIST, {}), refused, link);
    EXPECT_EQ(refused.code, COMMAND_ERROR);
    EXPECT_EQ(refused.dataLength, 0);
}

TEST(ComPortList, PortNumbersFollowTheDeviceFamiliesInNumericOrder) {
    const auto dev =
        std::filesystem::temp_directory_path() / ("zkv-dev-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dev);
    for (const char* name : {"ttyACM0", "ttyS10", "ttyUSB1", "ttyS2", "tty", "ttyS", "ttyUSB0",
                             "ttySx", "ttyS0", "ttyprintk"})
        std::ofstream(dev / name).put('\n');
    std::vector<std::string> names;
    for (const auto& p : SerialDeviceList(dev))
        names.push_back(std::filesystem::path(p).filename().string());
    std::filesystem::remove_all(dev);
    EXPECT_EQ(names, (std::vector<std::string>{"ttyS0", "ttyS2", "ttyS10", "ttyUSB0", "ttyUSB1",
                                               "ttyACM0"}));
}

TEST_F(BridgeOnPty, SetUpOpensTheLineAndTypedCommandsAreAnswered) {
    Start();
    OpenAt(9600);
    EXPECT_EQ(link.routings, 1);
    EXPECT_TRUE(port->IsOpen());
    ItemRecord list = Run(Command(CMD_COMPORT_GET_LIST, {}));
    EXPECT_EQ(Values(list), (std::vector<std::int32_t>{1, 1, 9600, 1, 8, 0, 0, 1}));

    EXPECT_EQ(Run(Command(CMD_COMPORT_DO_COMMAND, {0, 0}, std::string_view("V\r\0", 3))).code,
              COMMAND_OK);
    ASSERT_TRUE(ShownContains("Simulated drive terminal, 9600 bit/s\r\nT>"));
    EXPECT_EQ(link.Shown(), "V\r\nSimulated drive terminal, 9600 bit/s\r\nT>");

    // An empty text writes nothing.
    const auto before = terminal->Snapshot().received;
    EXPECT_EQ(Run(Command(CMD_COMPORT_DO_COMMAND, {0, 0}, std::string_view("\0", 1))).code,
              COMMAND_ERROR);
    loop.RunFor(50);
    EXPECT_EQ(terminal->Snapshot().received, before);

    // A port that does not exist: the old one is closed, the answer is an error.
    EXPECT_EQ(Run(Command(CMD_COMPORT_SET_PARAM, {2, 9600, 1, 8, 0, 0, 1})).code, COMMAND_ERROR);
    EXPECT_FALSE(port->IsOpen());
}

TEST_F(BridgeOnPty, SpeedSwitchToEveryIndex) {
    Start();
    OpenAt(9600);
    const std::int32_t speeds[] = {9600, 19200, 57600, 115200};
    const char* commands[] = {"B96", "B192", "B576", "B115"};
    for (std::int32_t index = 3; index >= 0; --index) {
        link.sent.clear();
        EXPECT_EQ(Run(Command(CMD_COMPORT_SET_BAUD, {index})).code, COMMAND_OK);
        ASSERT_TRUE(ShownContains(kSwitchOkText)) << index << ": " << link.Shown();
        EXPECT_EQ(link.Shown(), kSwitchOkText);
        auto seen = terminal->Snapshot();
        EXPECT_EQ(seen.speedCommands.back(), commands[index]);
        EXPECT_EQ(seen.lineSpeeds.back(), speeds[index]) << "the client's line speed";
        EXPECT_EQ(seen.speed, speeds[index]);
        EXPECT_EQ(bridge->Settings().baud, speeds[index]);
    }
    // The terminal answered the wake-up with its four-character prompt: "/" and CR followed.
    EXPECT_NE(terminal->Snapshot().received.find("\r/\rB96"), std::string::npos);

    // Index 4 types no command and keeps the speed, but still sends two carriage returns.
    const auto before = terminal->Snapshot();
    link.sent.clear();
    EXPECT_EQ(Run(Command(CMD_COMPORT_SET_BAUD, {4})).code, COMMAND_OK);
    ASSERT_TRUE(ShownContains(kSwitchOkText));
    const auto after = terminal->Snapshot();
    EXPECT_EQ(after.speedCommands.size(), before.speedCommands.size());
    EXPECT_EQ(after.received.substr(before.received.size()), "\r/\r\r\r");
    EXPECT_EQ(bridge->Settings().baud, 9600);
}

TEST_F(BridgeOnPty, SpeedSwitchTheTerminalRefusesEndsInErrorOnTheTimer) {
    // Switched off, and deaf to speed commands: the client wakes it with Ctrl-Z, changes its own
    // speed, hears nothing at the new one and gives up after the timer's 90 ticks.
    DriveTerminal::Options options;
    options.awake = false;
    options.acceptsSpeedCommands = false;
    Start(options);
    OpenAt(9600);
    EXPECT_EQ(Run(Command(CMD_COMPORT_SET_BAUD, {2})).code, COMMAND_OK);
    ASSERT_TRUE(ShownContains(kSwitchErrorText));
    EXPECT_EQ(link.Shown(), kSwitchErrorText);
    EXPECT_EQ(terminal->Snapshot().wakeUps, 1);
    EXPECT_EQ(terminal->Snapshot().speedCommands, std::vector<std::string>{"B576"});
    EXPECT_FALSE(bridge->SwitchInProgress());
}

TEST_F(BridgeOnPty, BufferWriteFeedsEachPromptOneByte) {
    Start();
    OpenAt(9600);
    EXPECT_EQ(Run(Command(CMD_COMPORT_WRITE_BUFFER, {3, 7}, "\x12\xAB")).code, COMMAND_OK);
    EXPECT_EQ(link.routings, 2);
    // The carriage return that ends the entry brings the terminal's prompt back.
    const std::string outcome = std::string(kWriteFinishedText) + "\r\nT>";
    ASSERT_TRUE(ShownContains(outcome));
    auto seen = terminal->Snapshot();
    EXPECT_EQ(seen.received, "U0000,0600\r12\nAB\n\r");
    EXPECT_EQ(seen.bufferAddress, 0x600u);
    EXPECT_EQ(seen.bufferBytes, (std::vector<std::uint8_t>{0x12, 0xAB}));
    // The prompts are the bridge's business; the technician sees the outcome.
    EXPECT_EQ(link.Shown(), outcome);
    EXPECT_FALSE(bridge->WriteInProgress());
    // A write larger than the bound is refused.
    std::string huge(kMaxBufferWriteBytes + 1, 'x');
    EXPECT_EQ(Run(Command(CMD_COMPORT_WRITE_BUFFER, {0, 0}, huge)).code, COMMAND_ERROR);
}

TEST_F(BridgeOnPty, TimerEndsAWriteTheTerminalNeverPromptsFor) {
    DriveTerminal::Options options;
    options.awake = false;
    Start(options);
    OpenAt(9600);
    EXPECT_EQ(Run(Command(CMD_COMPORT_WRITE_BUFFER, {0, 0}, "\x01")).code, COMMAND_OK);
    EXPECT_TRUE(bridge->WriteInProgress());
    ASSERT_TRUE(loop.RunUntil([&] { return !bridge->WriteInProgress(); }, 2000));
    EXPECT_EQ(terminal->Snapshot().received, "U0000,0000\r");
    // The terminal's text reaches the technician again.
    terminal->Say("\r\n-->");
    EXPECT_TRUE(ShownContains("-->"));
    EXPECT_EQ(terminal->Snapshot().received, "U0000,0000\r");
}

TEST(ComPortCommands, ShortDataIsAnErrorAndTimersCountTicks) {
    SimSerialPort port({1});
    ComPortBridge bridge(port, kQuick);
    RecordingLink link;
    auto run = [&](ItemRecord cmd) {
        ItemRecord reply;
        bridge.Handle(cmd, reply, link);
        return reply;
    };
    EXPECT_EQ(run(Command(CMD_COMPORT_SET_PARAM, {1, 9600, 1, 8, 0, 0})).code, COMMAND_ERROR);
    EXPECT_EQ(run(Command(CMD_COMPORT_SET_PARAM, {1, 9600, 3, 8, 0, 0, 1})).code, COMMAND_ERROR);
    EXPECT_EQ(run(Command(CMD_COMPORT_SET_PARAM, {1, 9600, 1, 8, 0, 0, 1})).code, COMMAND_OK);
    EXPECT_EQ(run(Command(CMD_COMPORT_DO_COMMAND, {0}, "ab")).code, COMMAND_ERROR);
    EXPECT_EQ(run(Command(CMD_COMPORT_SET_BAUD, {}, "\x01\x02")).code, COMMAND_ERROR);
    EXPECT_EQ(run(Command(CMD_COMPORT_WRITE_BUFFER, {5})).code, COMMAND_ERROR);
    EXPECT_EQ(link.routings, 6);
    EXPECT_EQ(port.Written(), "") << "nothing reached the line";
    ItemRecord untouched = run(Command(CMD_COMPORT_WRITE_DATA, {1, 2}));
    EXPECT_EQ(untouched.code, 0);
    EXPECT_EQ(untouched.dataLength, 0);

    // A text without its terminator is taken to the end of the data.
    EXPECT_EQ(run(Command(CMD_COMPORT_DO_COMMAND, {0, 0}, "ab")).code, COMMAND_OK);
    EXPECT_EQ(port.Written(), "ab");
    // A write holds the timer at 90 ticks of 55 ms, and its end frees the bridge.
    EXPECT_EQ(run(Command(CMD_COMPORT_WRITE_BUFFER, {1, 0}, "\x10")).code, COMMAND_OK);
    EXPECT_EQ(port.TimerMs(), 90 * 55);
    port.Feed("0200 -->");
    EXPECT_EQ(port.Written(), "abU0000,0200\r10\n");
    port.ExpireTimer();
    EXPECT_FALSE(bridge.WriteInProgress());
    port.Feed("done\r");
    EXPECT_EQ(link.Shown(), "done\r");
}

} // namespace
} // namespace zkv
