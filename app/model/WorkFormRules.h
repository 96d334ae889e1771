// Small rules of the work form that need no window.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zkv {

// The login data check before a connection attempt: user name, e-mail and password all
// non-empty, a user name with a character other than a blank, and an e-mail with '@'.
bool LoginDataValid(std::string_view userName, std::string_view email, std::string_view password);

// "4.2.22:128": major, minor and release separated by dots, a colon and the build.
std::string VersionText(std::int32_t major, std::int32_t minor, std::int32_t release,
                        std::int32_t build);

// The time elapsed since the connection was made, shown as a time of day ("1:02:03").
// Beyond a day the hours keep counting, so a long session never shows a wrapped time.
std::string ElapsedText(std::int64_t seconds);

} // namespace zkv
