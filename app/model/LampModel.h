// The sixteen register lamps of the work form: which lamp shows which bit, and in which colour.
#pragma once

#include <array>
#include <cstdint>

namespace zkv {

enum class LampColour : std::uint8_t { Dark, Green, Red };

struct LampInfo {
    const char* name;    // the lamp's component name, e.g. "imgBSY"
    const char* caption; // the text under it, e.g. "BSY"
    bool statusRegister; // true: status register, false: error register
    int bit;             // 7..0
    LampColour lit;      // the colour when the bit is set
};

inline constexpr std::size_t kLampCount = 16;

// In display order: the eight status lamps left to right, then the eight error lamps.
const std::array<LampInfo, kLampCount>& Lamps();

// The colour of every lamp for the two register values, in the order of Lamps().
std::array<LampColour, kLampCount> LampColours(std::uint8_t status, std::uint8_t error);

} // namespace zkv
