// The code page of texts on the wire.
//
// The service's texts (the technician's messages and screens, the server's replies, the user's
// answers and login data) travel as 8-bit strings in Windows-1252. The program keeps its texts
// in UTF-8; these two functions are the only way between the two. The five bytes Windows-1252
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the control characters of the same
// number, as in Latin-1, so that every byte decodes and encodes back to itself.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

// Windows-1252 bytes to UTF-8.
std::string WireToUtf8(std::string_view wire);
std::string WireToUtf8(std::span<const std::uint8_t> wire);
// UTF-8 to Windows-1252 bytes; a character the code page lacks, and every byte of malformed
// UTF-8, becomes '?'.
std::string Utf8ToWire(std::string_view utf8);
// The same, zero-terminated, as item data.
std::vector<std::uint8_t> WireTextZ(std::string_view utf8);

} // namespace zkv
