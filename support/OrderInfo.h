// OrderInfo: the order record that arrives inside the login reply.
//
//   0   int32      order number (0 = no order)
//   4   5 x int32  kept, unused by the client
//   24  float64    registration date-time (days since 1899-12-30, fraction = time of day)
//   32  char[41]   model            73 char[17] serial number   90 char[11] manufacturing date
//   101 text, 0    list 1 (comma separated)
//   ... text, 0    list 2 (comma separated)
// The block is 103 + L1 + L2 bytes long.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zkv {

// The current local time as a day count since 1899-12-30 with the time of day as fraction.
double NowAsDateTime();

class OrderInfo {
public:
    static constexpr std::size_t kFixedSize = 101;
    static constexpr std::size_t kModelWidth = 41;
    static constexpr std::size_t kSerialWidth = 17;
    static constexpr std::size_t kDateWidth = 11;

    OrderInfo() { Reset(); }

    // Numbers 0, date-time now, texts and lists empty.
    void Reset();

    // Parses the block at `pos` in `data`; on success advances `pos` past it and returns true.
    // A block that runs past the data resets the record and leaves `pos` unchanged.
    bool Parse(std::span<const std::uint8_t> data, std::size_t& pos);

    // The block as it travels, for peers and tests.
    std::vector<std::uint8_t> Serialize() const;

    std::int32_t number = 0;
    std::array<std::int32_t, 5> kept{};
    double registered = 0;
    std::string model;
    std::string serial;
    std::string manufactured;
    std::vector<std::string> list1;
    std::vector<std::string> list2;
};

} // namespace zkv
