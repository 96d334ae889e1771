#include "support/ClientLog.h"

#include "support/ByteOrder.h"

namespace zkv {

// Texts are stored zero-terminated, so only the part before an embedded zero counts.
static std::string_view CText(std::string_view text) {
    auto z = text.find('\0');
    return z == std::string_view::npos ? text : text.substr(0, z);
}

void CClientLog::Attach(std::uint8_t* buffer, std::uint32_t capacity) {
    buf_ = buffer;
    capacity_ = buffer ? capacity : 0;
    used_ = 0;
    runOpen_ = false;
    runWidth_ = 0;
    runRepeatAt_ = 0;
    runValue_ = 0;
}

void CClientLog::PutText(std::string_view text) {
    for (char c : text)
        Put(static_cast<std::uint8_t>(c));
    Put(0);
}

void CClientLog::PutRepeatAndValue(std::uint16_t value, int width) {
    runRepeatAt_ = used_;
    PutU32(buf_ + used_, 1);
    used_ += 4;
    if (width == 1) {
        Put(static_cast<std::uint8_t>(value));
    } else {
        PutU16(buf_ + used_, value);
        used_ += 2;
    }
    runValue_ = value;
    runWidth_ = width;
}

void CClientLog::AddText(std::string_view text) {
    if (!buf_)
        return;
    CloseRun();
    text = CText(text);
    if (!Fits(text.size() + 2))
        return;
    Put(kText);
    PutText(text);
}

void CClientLog::AddValue8(std::string_view text, std::uint8_t value) {
    AddValue(text, value, 1);
}
void CClientLog::AddValue16(std::string_view text, std::uint16_t value) {
    AddValue(text, value, 2);
}

void CClientLog::AddValue(std::string_view text, std::uint16_t value, int width) {
    if (!buf_)
        return;
    // A value of the other width cannot extend the open run: start a new element instead.
    if (runOpen_ && runWidth_ != width)
        CloseRun();
    if (runOpen_ && value == runValue_) {
        std::uint32_t repeat = GetU32(buf_ + runRepeatAt_);
        PutU32(buf_ + runRepeatAt_, repeat + 1);
        return;
    }
    if (runOpen_) {
        if (!Fits(1 + 4 + static_cast<std::uint64_t>(width)))
            return;
        Put(width == 1 ? kRun8 : kRun16);
        PutRepeatAndValue(value, width);
        return;
    }
    text = CText(text);
    if (!Fits(text.size() + 2 + 4 + static_cast<std::uint64_t>(width)))
        return;
    Put(width == 1 ? kText8 : kText16);
    PutText(text);
    PutRepeatAndValue(value, width);
    runOpen_ = true;
}

} // namespace zkv
