#include "support/ByteOrder.h"

namespace zkv {

std::string ToHex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    s.resize(bytes.size() * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        s[2 * i] = kDigits[bytes[i] >> 4];
        s[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return s;
}

static int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool FromHex(std::string_view hex, std::vector<std::uint8_t>& out) {
    if (hex.size() % 2 != 0)
        return false;
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        int hi = HexValue(hex[2 * i]);
        int lo = HexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    out = std::move(bytes);
    return true;
}

} // namespace zkv
