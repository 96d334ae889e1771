// The life of the work form's one connection to the service, without a window.
//
// An attempt starts from the Connect button, the start-up or the retry timer: the drive is
// detected first, the login data checked, then the port opened. The port's events come back
// here: connecting, connected (the login goes out, the connection time counts), an error, and
// the disconnect, after which the next attempt follows ten seconds later unless no-reconnect is
// on (the user's Disconnect, the technician's or the close request set it). What the window
// shows of it goes through IConnectionView; the other pieces of the program it touches (the
// engine, the framing, the scan, the channel) are hooks, and an empty hook is skipped.
#pragma once

#include "app/model/LogModel.h"
#include "app/model/WorkTimers.h"
#include "platform/TimeBase.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

namespace zkv {

inline constexpr const char* kLoginFailedMessage =
    "User Name, Email or Password is not correct. Login failed.";
inline constexpr const char* kProxySettingsError = "Error in proxy settings.";
inline constexpr const char* kRetryNotice =
    "An attempt to connect to the server will be made in 10 seconds.";

// The connection the life cycle opens and closes. Its events are reported to ConnectionLife
// (OnConnecting, OnConnected, OnError, OnDisconnected); closing a port that was opened reports
// the disconnect before Close returns, as does the end of an attempt that failed.
class IConnectionPort {
public:
    virtual ~IConnectionPort() = default;
    // Opened: an attempt runs or the connection is up.
    virtual bool Active() const = 0;
    // The settings name a server to connect to.
    virtual bool HasServer() const = 0;
    // Starts an attempt with the current settings.
    virtual void Open() = 0;
    virtual void Close() = 0;
    // Why the last connection ended when the peer did not close it in order, else empty.
    virtual std::string CloseReason() const = 0;
};

// What the window shows of the connection.
class IConnectionView {
public:
    virtual ~IConnectionView() = default;
    // The button's caption: "Connect" (true) or "Disconnect".
    virtual void ShowConnectButton(bool connectCaption) = 0;
    virtual void SetButtonsEnabled(bool connectButton, bool backToLogin) = 0;
    virtual void SetBackToLoginEnabled(bool on) = 0;
    // The status bar: "Connected." with the green ball, or "No Connection." with the red one
    // and no connection time.
    virtual void ShowConnectionState(bool connected) = 0;
    virtual void ShowConnectionTime(const std::string& text) = 0;
    virtual void CollapseActivityPanel() = 0;
    // A message box that does not wait, and one through the message dialog (an error).
    virtual void ShowNotice(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;
};

struct ConnectionHooks {
    std::function<bool()> ending;     // the program is ending: no detection, no new attempt
    std::function<bool()> driveFound; // detects the drive when needed; false: no attempt
    std::function<bool()> loginValid; // the stored login data may be sent
    // Routes the no-reconnect switch through the framing (which may hold it during a receive
    // step); it reports back through SetNoReconnect. Empty: set here directly.
    std::function<void(bool)> setNoReconnect;
    std::function<void()> resetReceiveState; // the framing starts on a fresh stream
    std::function<void()> useBuiltinKey;     // the cipher goes back to the built-in key
    std::function<void()> sendLogin;         // the engine's login command
    std::function<void()> stopScan;
    std::function<void()> connectionClosed; // the engine forgets its partner and the session
};

// The local time of day as the log shows it: "yyyy-MM-dd" and "hh:mm:ss".
std::string LogDateText(std::time_t t);
std::string LogTimeText(std::time_t t);

class ConnectionLife {
public:
    ConnectionLife(IConnectionPort& port, IWorkTimers& timers, IConnectionView& view, LogModel& log,
                   TimeBase& clock);

    ConnectionHooks hooks;
    // The wall clock of the log lines; the time base measures the connection time.
    std::function<std::time_t()> wallClock = [] { return std::time(nullptr); };

    // --- what the user and the program ask for ---
    // An attempt: detection, the login data check, then the port opened if it is not.
    void StartConnect();
    // Closes the port; the disconnect decides about the retry.
    void StopConnection();
    // The Connect/Disconnect button: Disconnect sets no-reconnect, Connect clears it.
    void ToggleConnection();
    // The window was hidden (not minimised): no scan, no connection, no technician.
    void WindowHidden();

    // --- the port's events ---
    void OnConnecting();
    void OnConnected();
    void OnError(int code);
    void OnDisconnected();

    // --- the timers' expiries ---
    void OnConnectTimer();
    void OnReconnectTimer();
    // A packet arrived: the watchdog's period starts again.
    void RestartPingWatchdog();

    // --- state ---
    bool Connected() const { return connected_; }
    bool NoReconnect() const { return noReconnect_; }
    void SetNoReconnect(bool on) { noReconnect_ = on; }
    // A technician works with this client: the framing logs in detail meanwhile.
    bool TechnicianAttached() const { return technicianAttached_; }
    bool DetailedLogging() const { return detailedLogging_; }
    void SetTechnicianAttached(bool on) { technicianAttached_ = detailedLogging_ = on; }
    void SetDetailedLogging(bool on) { detailedLogging_ = on; }
    // Whole seconds the connection has been up, 0 when it is not.
    std::int64_t ConnectedSeconds();

private:
    void OpenConnection();
    void Log(const std::string& text) { log_.AddLogText(text, true); }
    std::string Stamp(std::time_t t) const;

    IConnectionPort& port_;
    IWorkTimers& timers_;
    IConnectionView& view_;
    LogModel& log_;
    TimeBase& clock_;
    TimeValues values_;

    bool connected_ = false;
    bool noReconnect_ = false;
    bool technicianAttached_ = false;
    std::atomic<bool> detailedLogging_{false}; // read on the thread that sends
    std::string connectionDate_;               // of the last attempt; empty before the first
    std::uint64_t connectedAt_ = 0;
};

} // namespace zkv
