#include "support/Base.h"

#include "support/ByteOrder.h"

#include <cstring>
#include <new>

namespace zkv {

void TMemoryStream::Write(const void* src, std::size_t n) {
    if (pos_ > data_.size())
        data_.resize(pos_);
    if (pos_ + n > data_.size())
        data_.resize(pos_ + n);
    if (n)
        std::memcpy(data_.data() + pos_, src, n);
    pos_ += n;
}

std::size_t TMemoryStream::Read(void* dst, std::size_t n) {
    std::size_t k = n < Remaining() ? n : Remaining();
    if (k)
        std::memcpy(dst, data_.data() + pos_, k);
    pos_ += k;
    return k;
}

TBase::TBase() : className_("TBase") {}

void TBase::WriteInt(TMemoryStream& s, std::int32_t v) {
    std::uint8_t b[4];
    PutI32(b, v);
    s.Write(b, 4);
}

void TBase::WriteByte(TMemoryStream& s, std::uint8_t v) {
    s.Write(&v, 1);
}

void TBase::WriteText(TMemoryStream& s, std::string_view text) {
    WriteInt(s, static_cast<std::int32_t>(text.size()));
    s.Write(text.data(), text.size());
}

std::int32_t TBase::ReadInt(TMemoryStream& s) {
    std::uint8_t b[4];
    if (s.Read(b, 4) != 4)
        throw StreamError("stream ends inside a number");
    return GetI32(b);
}

std::uint8_t TBase::ReadByte(TMemoryStream& s) {
    std::uint8_t b;
    if (s.Read(&b, 1) != 1)
        throw StreamError("stream ends inside a byte field");
    return b;
}

std::string TBase::ReadText(TMemoryStream& s) {
    std::int32_t n = ReadInt(s);
    // A length the stream cannot hold is refused before anything is allocated.
    if (n < 0 || n > kMaxTextLength || static_cast<std::size_t>(n) > s.Remaining())
        throw StreamError("text length out of bounds");
    std::string text(static_cast<std::size_t>(n), ' ');
    s.Read(text.data(), text.size());
    return text;
}

int TBase::WriteToStream(TMemoryStream& s) {
    try {
        WriteInt(s, version_);
        WriteText(s, className_);
        WriteFields(s);
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

int TBase::ReadFromStream(TMemoryStream& s) {
    try {
        std::int32_t version = ReadInt(s);
        std::string name = ReadText(s);
        if (version != version_ || name != className_)
            return 1;
        ReadFields(s);
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

std::string TBase::DumpLine(std::string_view name, std::string_view value) {
    std::string line(name);
    line += ':';
    if (line.size() < 24)
        line.append(24 - line.size(), ' ');
    line += value;
    return line;
}

int TBase::Dump(std::vector<std::string>& lines) {
    try {
        lines.push_back(DumpLine("Class Name", className_));
        lines.push_back(DumpLine("Version", std::to_string(version_)));
        DumpFields(lines);
        return 0;
    } catch (const std::exception&) {
        return 1;
    }
}

} // namespace zkv
