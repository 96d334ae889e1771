// The work form's connection life without a window: a real loopback server and socket, the
// four timers on a virtual clock, and a view that records what the window would show.
#include "app/model/ConnectionLife.h"
#include "platform/PosixConnection.h"
#include "sim/VirtualClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace zkv {
namespace {

struct RecordingView : IConnectionView {
    void ShowConnectButton(bool connectCaption) override {
        button = connectCaption ? "Connect" : "Disconnect";
    }
    void SetButtonsEnabled(bool connectButton, bool backToLogin) override {
        connectEnabled = connectButton;
        backToLoginEnabled = backToLogin;
    }
    void SetBackToLoginEnabled(bool on) override { backToLoginEnabled = on; }
    void ShowConnectionState(bool connected) override {
        status = connected ? "Connected." : "No Connection.";
        if (!connected)
            time.clear();
    }
    void ShowConnectionTime(const std::string& text) override { time = text; }
    void CollapseActivityPanel() override { ++collapses; }
    void ShowNotice(const std::string& text) override { notices.push_back(text); }
    void ShowError(const std::string& text) override { errors.push_back(text); }

    std::string button = "Connect";
    bool connectEnabled = false;
    bool backToLoginEnabled = false;
    std::string status;
    std::string time;
    int collapses = 0;
    std::vector<std::string> notices, errors;
};

// A TCP connection to a loopback port whose events come back from Pump, after the call that
// caused them, as an event loop delivers them; closing an opened port reports the disconnect
// at once, as the window's socket does.
class LoopbackPort : public IConnectionPort {
public:
    bool Active() const override { return opened_; }
    bool HasServer() const override { return port != 0; }
    void Open() override {
        opened_ = true;
        attempt_ = true;
    }
    void Close() override { Finish(); }
    std::string CloseReason() const override { return {}; }

    void Pump() {
        if (attempt_) {
            attempt_ = false;
            life->OnConnecting();
            if (connection.ConnectTcp("127.0.0.1", port))
                life->OnConnected();
            else
                life->OnError(10061); // the window's socket reports a refusal so
            return;
        }
        if (opened_ && !connection.WaitReadable(0) && !connection.Active())
            Finish();
    }

    ConnectionLife* life = nullptr;
    std::uint16_t port = 0;
    PosixConnection connection;

private:
    void Finish() {
        if (!opened_)
            return;
        opened_ = attempt_ = false;
        connection.Close();
        life->OnDisconnected();
    }
    bool opened_ = false;
    bool attempt_ = false;
};

class ConnectionLifeTest : public ::testing::Test {
protected:
    ConnectionLifeTest() {
        EXPECT_TRUE(server.Listen("127.0.0.1", 0));
        port.port = server.Port();
        port.life = &life;
        timers.OnExpiry(WorkTimer::Connect, [this] { life.OnConnectTimer(); });
        timers.OnExpiry(WorkTimer::Reconnect, [this] { life.OnReconnectTimer(); });
        life.hooks.loginValid = [this] { return loginValid; };
        life.hooks.sendLogin = [this] {
            const std::string login = "LOGIN";
            port.connection.Send(reinterpret_cast<const std::uint8_t*>(login.data()), login.size());
        };
    }
    ~ConnectionLifeTest() override {
        for (int fd : accepted)
            ::close(fd);
    }

    // Runs the port and the timers for `ms` of virtual time, stepping from expiry to expiry.
    void Run(std::int64_t ms) {
        const std::uint64_t end = clock.Peek() + static_cast<std::uint64_t>(ms) * 1'000'000;
        for (;;) {
            port.Pump();
            timers.RunDue();
            port.Pump();
            const std::uint64_t now = clock.Peek();
            if (now >= end)
                return;
            const std::int64_t next = timers.MsUntilNext();
            std::uint64_t step = end - now;
            if (next >= 0)
                step = std::min<std::uint64_t>(step, static_cast<std::uint64_t>(next) * 1'000'000);
            clock.Advance(std::max<std::uint64_t>(step, 1));
        }
    }
    // Takes the connections the server has been offered; returns how many there were.
    std::size_t Accept() {
        while (true) {
            const int fd = server.Accept(200);
            if (fd < 0)
                return accepted.size();
            accepted.push_back(fd);
        }
    }
    bool Logged(const std::string& text) const {
        return log.Document().find(text) != std::string::npos;
    }
    std::size_t CountLogged(const std::string& text) const {
        std::size_t n = 0;
        for (auto at = log.Document().find(text); at != std::string::npos;
             at = log.Document().find(text, at + 1))
            ++n;
        return n;
    }

    TcpListener server;
    std::vector<int> accepted;
    VirtualClock clock;
    DeadlineTimers timers{clock};
    RecordingView view;
    LogModel log;
    LoopbackPort port;
    ConnectionLife life{port, timers, view, log, clock};
    bool loginValid = true;
};

// Connected, the time counts; the server hangs up; the next attempt comes ten seconds later by
// itself; the user's Disconnect ends the connection and no attempt follows.
TEST_F(ConnectionLifeTest, LossRetriesAfterTenSecondsAndTheUsersDisconnectDoesNot) {
    life.StartConnect();
    Run(0);
    ASSERT_TRUE(life.Connected()) << log.Document();
    ASSERT_EQ(Accept(), 1u);
    EXPECT_TRUE(Logged(" Connecting ...")) << log.Document();
    EXPECT_TRUE(Logged(" Connected.")) << log.Document();
    EXPECT_EQ(view.button, "Disconnect");
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.backToLoginEnabled);
    EXPECT_EQ(view.status, "Connected.");
    EXPECT_TRUE(timers.Running(WorkTimer::Ping));
    EXPECT_TRUE(timers.Running(WorkTimer::Connect));
    char login[8] = {};
    ASSERT_EQ(::recv(accepted[0], login, 5, MSG_WAITALL), 5);
    EXPECT_EQ(std::string(login), "LOGIN");

    Run(65'500);
    EXPECT_EQ(view.time, "0:01:05");
    EXPECT_EQ(life.ConnectedSeconds(), 65);

    // The server hangs up.
    ::close(accepted[0]);
    Run(0);
    ASSERT_FALSE(life.Connected());
    EXPECT_TRUE(Logged(" Disconnected.<br>")) << log.Document();
    EXPECT_TRUE(Logged(kRetryNotice));
    EXPECT_EQ(view.button, "Connect");
    EXPECT_TRUE(view.backToLoginEnabled);
    EXPECT_EQ(view.status, "No Connection.");
    EXPECT_EQ(view.collapses, 1);
    EXPECT_FALSE(timers.Running(WorkTimer::Ping));
    EXPECT_FALSE(timers.Running(WorkTimer::Connect));
    EXPECT_TRUE(timers.Running(WorkTimer::Reconnect));

    Run(9'990);
    EXPECT_EQ(Accept(), 1u);
    Run(20);
    ASSERT_TRUE(life.Connected()) << log.Document();
    EXPECT_EQ(Accept(), 2u);
    EXPECT_FALSE(timers.Running(WorkTimer::Reconnect));
    EXPECT_EQ(CountLogged(" Connected."), 2u);

    // The user's Disconnect.
    life.ToggleConnection();
    EXPECT_FALSE(life.Connected());
    EXPECT_TRUE(life.NoReconnect());
    EXPECT_EQ(CountLogged(" Disconnected."), 2u);
    EXPECT_EQ(CountLogged(kRetryNotice), 1u);
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_TRUE(view.backToLoginEnabled);
    Run(30'000);
    EXPECT_EQ(Accept(), 2u);
    EXPECT_FALSE(timers.Running(WorkTimer::Reconnect));

    // Connect by hand again.
    life.ToggleConnection();
    EXPECT_FALSE(life.NoReconnect());
    Run(0);
    EXPECT_TRUE(life.Connected());
    EXPECT_EQ(Accept(), 3u);
}

// Attempts that do not reach the server: a refused port is an error, a disconnect and a retry;
// invalid login data and a missing server are told and nothing is opened; no drive found and
// a program that is ending make no attempt at all.
TEST_F(ConnectionLifeTest, AttemptsThatDoNotConnect) {
    server.Close();
    life.StartConnect();
    Run(0);
    EXPECT_FALSE(life.Connected());
    const std::string& doc = log.Document();
    const auto connecting = doc.find(" Connecting ...");
    const auto error = doc.find("Connection error, error code: 10061");
    const auto disconnected = doc.find(" Disconnected.");
    const auto retry = doc.find(kRetryNotice);
    ASSERT_NE(retry, std::string::npos) << doc;
    EXPECT_TRUE(connecting < error && error < disconnected && disconnected < retry) << doc;
    EXPECT_TRUE(timers.Running(WorkTimer::Reconnect));
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_TRUE(view.backToLoginEnabled);
    Run(10'000);
    EXPECT_EQ(CountLogged(" Connecting ..."), 2u) << doc;

    life.ToggleConnection(); // not connected: a new attempt, with no-reconnect cleared
    Run(0);
    const std::size_t attempts = CountLogged(" Connecting ...");
    loginValid = false;
    life.StartConnect();
    Run(0);
    EXPECT_EQ(view.notices, std::vector<std::string>{kLoginFailedMessage});
    loginValid = true;
    port.port = 0;
    life.StartConnect();
    Run(0);
    EXPECT_EQ(view.errors, std::vector<std::string>{kProxySettingsError});
    bool driveFound = false, ending = false;
    life.hooks.driveFound = [&] { return driveFound; };
    life.hooks.ending = [&] { return ending; };
    life.StartConnect();
    driveFound = true;
    ending = true;
    life.StartConnect();
    Run(0);
    EXPECT_EQ(CountLogged(" Connecting ..."), attempts);
    EXPECT_EQ(view.notices.size(), 1u);
    EXPECT_EQ(view.errors.size(), 1u);
}

} // namespace
} // namespace zkv
