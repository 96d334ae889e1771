// A number written as one to eight hex digits, either case, as the lab files and the drive
// terminal take it.
#pragma once

#include <cstdint>
#include <string_view>

namespace zkv {

// False for an empty text, more than eight digits or anything that is not a hex digit.
inline bool ParseHexNumber(std::string_view s, std::uint32_t& out) {
    if (s.empty() || s.size() > 8)
        return false;
    out = 0;
    for (char c : s) {
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                         : -1;
        if (d < 0)
            return false;
        out = out * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
}

} // namespace zkv
