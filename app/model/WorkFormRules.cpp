#include "app/model/WorkFormRules.h"

#include <cstdio>

namespace zkv {

bool LoginDataValid(std::string_view userName, std::string_view email, std::string_view password) {
    if (userName.empty() || email.empty() || password.empty())
        return false;
    if (userName.find_first_not_of(' ') == std::string_view::npos)
        return false;
    return email.find('@') != std::string_view::npos;
}

std::string VersionText(std::int32_t major, std::int32_t minor, std::int32_t release,
                        std::int32_t build) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(release) +
           ":" + std::to_string(build);
}

std::string ElapsedText(std::int64_t seconds) {
    if (seconds < 0)
        seconds = 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return buf;
}

} // namespace zkv
