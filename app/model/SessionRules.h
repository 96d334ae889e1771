// Rules of the user's side of a session that need no window: the start-up checks, the login
// dialog's OK rule and what OK stores, and the network options dialog's rules.
#pragma once

#include "platform/TimeBase.h"
#include "support/UserData.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zkv {

// --- start-up ---
inline constexpr const char* kAnotherCopyMessage =
    "Another copy of this program is already running.";
inline constexpr const char* kNoTimerLog =
    "The high resolution timer is not supported by this system. The program will not work "
    "correctly.";
inline constexpr const char* kNoTimerMessage =
    "This computer haven't hight resolution timer. Program can't work successfully.";
inline constexpr const char* kNoDriverMessage =
    "Can not access the HDD because driver not loaded. Reboot computer and try again.";
inline constexpr const char* kNoDriverLinuxHint =
    "The disk helper, which reaches the disk for the client, could not be started.";
// The log line that says why: "The disk helper could not be started: the authorisation was
// dismissed."
inline std::string DiskHelperFailureLog(const std::string& why) {
    return "The disk helper could not be started: " + why + ".";
}

// The timer check: a counter frequency and a current value, both non-zero. Fills `values`.
bool CheckTimeBase(TimeBase& clock, TimeValues& values);

// The login dialog is skipped after a technician-requested restart, and with --unattended when
// user.dat holds valid login data (the work form's login check and an order number >= 0).
bool SkipLoginDialog(bool wasReboot, bool unattended, const UserInfo& user);

// --- the login dialog ---
// "V 4.2": major and minor.
std::string LoginVersionLabel(std::int32_t major, std::int32_t minor);
// OK is enabled when the e-mail contains '@' and the order number converts to an integer >= 0.
bool LoginOkEnabled(std::string_view email, std::string_view orderText);
// What OK stores: the order number, "NoName", the e-mail as typed, "482916", country 189.
// False (nothing changed) when the OK rule does not hold.
bool ApplyLoginOk(std::string_view email, std::string_view orderText, UserInfo& user);

// --- the network options dialog ---
inline constexpr const char* kInvalidServerPort = "Invalid server port value.";
inline constexpr const char* kInvalidProxyPort = "Invalid proxy server port value.";

// The dialog edits the connection fields of the proxy setting itself.
using NetworkOptions = ProxySetting;

// Protocol item: 0 "SOCKS 4" (for SOCKS_4 and SOCKS_4A), 1 "SOCKS 5", 2 "HTTP".
int ProtocolItemOf(TPROXYVersion kind);
// Item 0 gives SOCKS_4A with the resolve box checked, SOCKS_4 without; 1 SOCKS_5; 2 HTTP_PROXY.
TPROXYVersion ProxyKindOf(int item, bool resolveThroughProxy);

// A port field: an integer 0..65535, else nullopt.
std::optional<std::int32_t> ParsePort(std::string_view text);

// The enabling rule: which of the proxy controls are enabled.
struct NetworkEnabling {
    bool proxyControls = false; // protocol group, resolve box, host, port, user name, group boxes
    bool password = false;      // the password field and its label
};
NetworkEnabling NetworkEnablingOf(bool useProxy, int protocolItem);

// The factory settings the Default button puts into the fields.
NetworkOptions DefaultNetworkOptions();

} // namespace zkv
