// CClientLog: the compact binary trace the ATA engine writes for the technician.
//
// The log writes into a buffer owned by the caller. Elements start with a kind byte:
//   0 text            text, 0
//   1 text + u8       text, 0, int32 repeat, u8 value
//   2 text + u16      text, 0, int32 repeat, u16 value
//   3 next u8 of run  int32 repeat, u8 value
//   4 next u16 of run int32 repeat, u16 value
// Successive equal values of one register are folded into the repeat count of one element.
// Entries that do not fit are dropped; the log never fails.
#pragma once

#include <cstdint>
#include <string_view>

namespace zkv {

class CClientLog {
public:
    enum Kind : std::uint8_t {
        kText = 0,
        kText8 = 1,
        kText16 = 2,
        kRun8 = 3,
        kRun16 = 4,
    };

    // Starts a fresh log in `buffer`. A null buffer gives capacity 0: every write is ignored.
    void Attach(std::uint8_t* buffer, std::uint32_t capacity);

    void AddText(std::string_view text);
    void AddValue8(std::string_view text, std::uint8_t value);
    void AddValue16(std::string_view text, std::uint16_t value);
    void CloseRun() { runOpen_ = false; }

    std::uint32_t BytesUsed() const { return used_; }
    bool RunOpen() const { return runOpen_; }

private:
    void AddValue(std::string_view text, std::uint16_t value, int width);
    bool Fits(std::uint64_t more) const { return used_ + more <= capacity_; }
    void Put(std::uint8_t b) { buf_[used_++] = b; }
    void PutText(std::string_view text);
    void PutRepeatAndValue(std::uint16_t value, int width);

    std::uint8_t* buf_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t used_ = 0;
    bool runOpen_ = false;
    int runWidth_ = 0;
    std::uint32_t runRepeatAt_ = 0; // offset of the current run element's repeat count
    std::uint16_t runValue_ = 0;
};

} // namespace zkv
