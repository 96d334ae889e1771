#include "app/model/ConnectionLife.h"

#include "app/model/WorkFormRules.h"

namespace zkv {

namespace {

std::string LocalText(std::time_t t, const char* format) {
    std::tm parts{};
    localtime_r(&t, &parts);
    char buf[32];
    const std::size_t n = std::strftime(buf, sizeof buf, format, &parts);
    return std::string(buf, n);
}

} // namespace

std::string LogDateText(std::time_t t) {
    return LocalText(t, "%Y-%m-%d");
}

std::string LogTimeText(std::time_t t) {
    return LocalText(t, "%H:%M:%S");
}

ConnectionLife::ConnectionLife(IConnectionPort& port, IWorkTimers& timers, IConnectionView& view,
                               LogModel& log, TimeBase& clock)
    : port_(port), timers_(timers), view_(view), log_(log), clock_(clock),
      values_(ComputeTimeValues(clock.TicksPerSecond())) {}

std::string ConnectionLife::Stamp(std::time_t t) const {
    return (connectionDate_.empty() ? LogDateText(t) : connectionDate_) + " " + LogTimeText(t);
}

void ConnectionLife::StartConnect() {
    if (hooks.ending && hooks.ending())
        return;
    // The drive on the chosen channel is detected first.
    if (hooks.driveFound && !hooks.driveFound()) {
        view_.SetButtonsEnabled(true, true);
        return;
    }
    if (hooks.loginValid && !hooks.loginValid())
        view_.ShowNotice(kLoginFailedMessage);
    else if (!port_.Active())
        OpenConnection();
    view_.SetButtonsEnabled(true, true);
}

void ConnectionLife::OpenConnection() {
    port_.Close();
    if (!port_.HasServer()) {
        view_.ShowError(kProxySettingsError);
        return;
    }
    connectionDate_ = LogDateText(wallClock());
    if (hooks.resetReceiveState)
        hooks.resetReceiveState();
    port_.Open();
}

void ConnectionLife::StopConnection() {
    timers_.Stop(WorkTimer::Ping);
    port_.Close();
}

void ConnectionLife::ToggleConnection() {
    timers_.Stop(WorkTimer::Reconnect);
    const auto setNoReconnect = [this](bool on) {
        if (hooks.setNoReconnect)
            hooks.setNoReconnect(on);
        else
            noReconnect_ = on;
    };
    if (connected_) {
        setNoReconnect(true);
        StopConnection();
        view_.SetButtonsEnabled(true, true);
    } else {
        view_.SetButtonsEnabled(false, false);
        setNoReconnect(false);
        StartConnect();
    }
}

void ConnectionLife::WindowHidden() {
    if (hooks.stopScan)
        hooks.stopScan();
    StopConnection();
    technicianAttached_ = false;
    detailedLogging_ = false;
}

void ConnectionLife::OnConnecting() {
    const std::time_t now = wallClock();
    connectionDate_ = LogDateText(now);
    Log(Stamp(now) + " Connecting ...");
}

void ConnectionLife::OnConnected() {
    timers_.Start(WorkTimer::Ping);
    view_.SetButtonsEnabled(true, false);
    view_.ShowConnectButton(false);
    connected_ = true;
    view_.ShowConnectionState(true);
    timers_.Start(WorkTimer::Connect);
    connectedAt_ = clock_.Now();
    const std::time_t now = wallClock();
    view_.ShowConnectionTime(ElapsedText(0));
    Log(Stamp(now) + " Connected.");
    // Every connection starts on the built-in key, whatever the last one ended with.
    if (hooks.useBuiltinKey)
        hooks.useBuiltinKey();
    if (hooks.resetReceiveState)
        hooks.resetReceiveState();
    if (hooks.sendLogin)
        hooks.sendLogin();
}

void ConnectionLife::OnError(int code) {
    Log("Connection error, error code: " + std::to_string(code));
    StopConnection();
    view_.SetButtonsEnabled(true, true);
}

void ConnectionLife::OnDisconnected() {
    if (hooks.stopScan)
        hooks.stopScan();
    technicianAttached_ = false;
    detailedLogging_ = false;
    if (hooks.connectionClosed)
        hooks.connectionClosed();
    timers_.Stop(WorkTimer::Ping);
    view_.ShowConnectButton(true);
    view_.SetBackToLoginEnabled(true);
    connected_ = false;
    view_.ShowConnectionState(false);
    timers_.Stop(WorkTimer::Connect);
    // A reset by the peer says so after the line; an orderly close leaves it as it is.
    const std::string reason = port_.CloseReason();
    const std::string why = reason.empty() ? "" : " " + reason + ".";
    Log(Stamp(wallClock()) + " Disconnected." + why);
    if (!noReconnect_) {
        Log(kRetryNotice);
        timers_.Start(WorkTimer::Reconnect);
    }
    if (hooks.useBuiltinKey)
        hooks.useBuiltinKey();
    view_.CollapseActivityPanel();
}

std::int64_t ConnectionLife::ConnectedSeconds() {
    if (!connected_ || values_.ticksPerSecond == 0)
        return 0;
    return static_cast<std::int64_t>((clock_.Now() - connectedAt_) / values_.ticksPerSecond);
}

void ConnectionLife::OnConnectTimer() {
    view_.ShowConnectionTime(ElapsedText(ConnectedSeconds()));
}

void ConnectionLife::OnReconnectTimer() {
    if (noReconnect_) {
        timers_.Stop(WorkTimer::Reconnect);
        return;
    }
    ToggleConnection();
}

void ConnectionLife::RestartPingWatchdog() {
    timers_.Stop(WorkTimer::Ping);
    timers_.Start(WorkTimer::Ping);
}

} // namespace zkv
