// The rules of the session without a window: the close order, the start-up checks, the login
// rule, the edit components' filter and layouts, the single-instance lock.
#include "app/model/CloseSequence.h"
#include "app/model/EditComponents.h"
#include "app/model/SessionRules.h"
#include "platform/InstanceLock.h"
#include "tests/support/ClientHarness.h"

#include <gtest/gtest.h>

namespace zkv {
namespace {

CloseHooks Recording(std::vector<std::string>& steps, bool answer = true) {
    CloseHooks h;
    auto rec = [&steps](const char* name) { return [&steps, name] { steps.push_back(name); }; };
    h.askYesNo = [&steps, answer](const std::string& q) {
        steps.push_back("ask " + q);
        return answer;
    };
    h.scanRunning = [] { return true; };
    h.stopScan = rec("stop scan");
    h.setNoReconnect = rec("no-reconnect");
    h.writeRebootFlags = rec("flags");
    h.closePortDriver = rec("port driver");
    h.closeComPort = rec("com port");
    h.endAtaWorker = rec("ata worker");
    h.controllerListCreated = [] { return true; };
    h.saveControllerSettings = rec("save controllers");
    h.clearRestartNeeded = rec("clear restart");
    h.enableMyChannels = rec("enable channels");
    h.restartNeeded = [] { return true; };
    h.log = [&steps](const std::string& t) { steps.push_back("log " + t); };
    h.showMessage = [&steps](const std::string& t) { steps.push_back("message " + t); };
    return h;
}

TEST(CloseSequence, StepsInOrderAndTheirBranches) {
    std::vector<std::string> steps;
    CloseState s;
    s.technicianAttached = true;
    s.rebootFlagsRead = true;
    EXPECT_EQ(RunCloseSequence(s, Recording(steps, false)), CloseOutcome::Cancelled);
    EXPECT_EQ(steps, std::vector<std::string>{"ask Do you want to close program?"});

    steps.clear();
    EXPECT_EQ(RunCloseSequence(s, Recording(steps)), CloseOutcome::Close);
    EXPECT_EQ(steps, (std::vector<std::string>{
                         "ask Do you want to close program?", "stop scan", "no-reconnect", "flags",
                         "port driver", "com port", "ata worker", "clear restart",
                         "log Trying to enable chosen IDE channel.", "enable channels",
                         "message Reboot computer now to finish enabling chosen channel."}));

    // After a technician-requested restart the channel stays taken; a second copy writes no
    // flags and gives nothing back; empty hooks are skipped.
    steps.clear();
    s = {};
    s.rebootFlagsRead = true;
    s.wasReboot = true;
    RunCloseSequence(s, Recording(steps));
    EXPECT_EQ(steps, (std::vector<std::string>{"stop scan", "no-reconnect", "flags", "port driver",
                                               "com port", "ata worker", "save controllers"}));
    steps.clear();
    s = {};
    s.secondInstance = true;
    RunCloseSequence(s, Recording(steps));
    EXPECT_EQ(steps, (std::vector<std::string>{"stop scan", "no-reconnect", "port driver",
                                               "com port", "ata worker"}));
    EXPECT_EQ(RunCloseSequence({}, CloseHooks{}), CloseOutcome::Close);
}

class FakeClock final : public TimeBase {
public:
    FakeClock(std::uint64_t f, std::uint64_t n) : f_(f), n_(n) {}
    std::uint64_t TicksPerSecond() const override { return f_; }
    std::uint64_t Now() override { return n_; }
    void SleepMs(std::uint32_t) override {}
    void Spin(std::uint64_t) override {}

private:
    std::uint64_t f_, n_;
};

TEST(SessionRules, TimerCheckAndLoginRules) {
    TimeValues v;
    FakeClock none(0, 5), stopped(3579545, 0), acpi(3579545, 7);
    EXPECT_FALSE(CheckTimeBase(none, v));
    EXPECT_FALSE(CheckTimeBase(stopped, v));
    ASSERT_TRUE(CheckTimeBase(acpi, v));
    EXPECT_EQ(v.ticksPerMs, 3579u);
    EXPECT_EQ(v.ticksPer400ns, 2);

    EXPECT_TRUE(LoginOkEnabled("a@b", "0"));
    EXPECT_FALSE(LoginOkEnabled("a@b", "-1"));
    EXPECT_FALSE(LoginOkEnabled("a@b", ""));
    EXPECT_FALSE(LoginOkEnabled("ab", "5"));
    EXPECT_EQ(LoginVersionLabel(4, 2), "V 4.2");

    UserInfo u;
    u.userName = "NoName";
    u.email = "a@b";
    u.password = "482916";
    EXPECT_TRUE(SkipLoginDialog(false, true, u));
    EXPECT_FALSE(SkipLoginDialog(false, false, u));
    EXPECT_TRUE(SkipLoginDialog(true, false, UserInfo{}));
    u.email = "ab";
    EXPECT_FALSE(SkipLoginDialog(false, true, u));
}

TEST(EditComponents, FilterAndBothLayouts) {
    LetNumFilter digits{false, true, false};
    EXPECT_EQ(digits.Filter(U"12a3"), U"123");
    EXPECT_TRUE(digits.Accepts(8));
    LetNumFilter hex{true, false, true};
    EXPECT_EQ(hex.Filter(U"0x1Fg9"), U"01F9");

    std::vector<std::uint8_t> data(32);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(0x41 + i);
    const auto two = HexDumpHexLines(data, 16, TDataFormat::dfByte);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].substr(0, 16), "00000000: 41 42 ");
    EXPECT_EQ(two[1].substr(0, 10), "00000010: ");
    data.resize(17);
    EXPECT_EQ(HexDumpHexLines(data, 16, TDataFormat::dfByte)[1], "00000010: 51 ");
    EXPECT_EQ(HexDumpHexLines(std::vector<std::uint8_t>{0x41, 0x42, 0x43}, 16, TDataFormat::dfByte),
              std::vector<std::string>{"00000000: 41 42 43 "});
    // Little-endian items; a tail shorter than an item is not shown.
    EXPECT_EQ(HexDumpHexLines(std::vector<std::uint8_t>{1, 2, 3, 4, 5}, 16, TDataFormat::dfWord),
              std::vector<std::string>{"00000000: 0201 0403 "});
    EXPECT_EQ(
        HexDumpHexLines(std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}, 1, TDataFormat::dfDword),
        (std::vector<std::string>{"00000000: 04030201 ", "00000004: 08070605 "}));
    EXPECT_EQ(HexDumpTextLines(std::vector<std::uint8_t>{'a', '\t', 'b', '\n', 'c'}, 4),
              (std::vector<std::string>{"00000000: a.b.", "00000004: c"}));
    EXPECT_TRUE(HexDumpHexLines({}, 16, TDataFormat::dfByte).empty());
}

TEST(InstanceLock, OneHolderPerFile) {
    test::TempDir dir;
    const auto file = InstanceLockPath(dir.Path());
    EXPECT_NE(file.filename().string().find(kSingleInstanceName), std::string::npos);
    InstanceLock first, second;
    ASSERT_EQ(first.Acquire(file), InstanceLock::Result::Acquired);
    EXPECT_EQ(second.Acquire(file), InstanceLock::Result::HeldElsewhere);
    EXPECT_FALSE(WaitForInstanceLockRelease(file, 150));
    first.Release();
    EXPECT_TRUE(WaitForInstanceLockRelease(file, 150));
    EXPECT_EQ(second.Acquire(file), InstanceLock::Result::Acquired);
}

} // namespace
} // namespace zkv
