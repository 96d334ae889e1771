// The rules of the two edit components: the letter/number filter of TEditLetNum and the two
// layouts of THexDump.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

struct LetNumFilter {
    bool enableLet = true; // characters other than digits
    bool enableNum = true; // digits 0-9
    bool hexMode = false;  // only 0-9, A-F, a-f, whatever the two flags say

    // Backspace (8) always passes.
    bool Accepts(char32_t c) const;
    // The characters of `text` that pass, in order (typed, pasted and dropped text alike).
    std::u32string Filter(std::u32string_view text) const;
};

enum class TDataFormat { dfByte, dfWord, dfDword };

int ItemWidth(TDataFormat f);

// Hexadecimal layout: "00000000: " then items in upper-case hex, each followed by a blank,
// `perLine` items a line (words and double words little-endian). Bytes at the end that do not
// fill an item are not shown. No lines for an empty block.
std::vector<std::string> HexDumpHexLines(std::span<const std::uint8_t> data, int perLine,
                                         TDataFormat format);
// Text layout: the same offset prefix, then one character per byte, bytes below 32 as '.'.
// The lines hold the bytes as they are (8-bit characters).
std::vector<std::string> HexDumpTextLines(std::span<const std::uint8_t> data, int perLine);

} // namespace zkv
