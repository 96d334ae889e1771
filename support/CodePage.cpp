#include "support/CodePage.h"

#include <array>

namespace zkv {
namespace {

// Code points of the bytes 0x80-0x9F; the rest of the page is Latin-1.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void PutUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

char ToByte(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (std::size_t i = 0; i < kHigh.size(); ++i)
        if (kHigh[i] == c)
            return static_cast<char>(0x80 + i);
    return '?';
}

} // namespace

std::string WireToUtf8(std::string_view wire) {
    std::string out;
    out.reserve(wire.size());
    for (char ch : wire) {
        const auto b = static_cast<unsigned char>(ch);
        PutUtf8(out, b >= 0x80 && b <= 0x9F ? kHigh[b - 0x80] : char32_t{b});
    }
    return out;
}

std::string WireToUtf8(std::span<const std::uint8_t> wire) {
    return WireToUtf8(std::string_view(reinterpret_cast<const char*>(wire.data()), wire.size()));
}

std::string Utf8ToWire(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t n = b < 0x80             ? 1
                        : (b & 0xE0) == 0xC0 ? 2
                        : (b & 0xF0) == 0xE0 ? 3
                        : (b & 0xF8) == 0xF0 ? 4
                                             : 0;
        char32_t c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = n != 0 && i + n <= s.size();
        for (std::size_t k = 1; ok && k < n; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                ok = false;
            c = (c << 6) | (t & 0x3F);
        }
        // Overlong forms do not count as the character they spell.
        if (ok && ((n == 2 && c < 0x80) || (n == 3 && c < 0x800) || (n == 4 && c < 0x10000)))
            ok = false;
        if (!ok) {
            out += '?';
            ++i;
            continue;
        }
        out += ToByte(c);
        i += n;
    }
    return out;
}

std::vector<std::uint8_t> WireTextZ(std::string_view utf8) {
    const std::string bytes = Utf8ToWire(utf8);
    std::vector<std::uint8_t> out(bytes.begin(), bytes.end());
    out.push_back(0);
    return out;
}

} // namespace zkv
