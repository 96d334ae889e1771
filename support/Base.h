// TBase: the self-describing serializable record.
//
// Stream layout (little-endian): int32 version, text class name, then the derived class's
// fields. A text is an int32 byte length followed by that many bytes, no terminator.
// A reader accepts a stream only when both version and class name match its own exactly.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

// A growable in-memory byte stream with a position, the medium TBase records are written to and
// read from.
class TMemoryStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes) : data_(std::move(bytes)) {}

    void Write(const void* src, std::size_t n);
    // Copies up to n bytes from the position; returns how many were copied.
    std::size_t Read(void* dst, std::size_t n);

    std::size_t Size() const { return data_.size(); }
    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return pos_ < data_.size() ? data_.size() - pos_ : 0; }
    void Seek(std::size_t pos) { pos_ = pos; }
    const std::vector<std::uint8_t>& Bytes() const { return data_; }

private:
    std::vector<std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// Raised by the stream helpers below; TBase operations catch it and return 1.
struct StreamError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class TBase {
public:
    // Upper bound for one text in a record stream; longer announced lengths are read errors.
    static constexpr std::int32_t kMaxTextLength = 1 << 20;

    TBase();
    virtual ~TBase() = default;

    // Slot order matters to derived classes: write, read, dump.
    virtual int WriteToStream(TMemoryStream& s);
    virtual int ReadFromStream(TMemoryStream& s);
    virtual int Dump(std::vector<std::string>& lines);

    const std::string& ClassName() const { return className_; }
    std::int32_t Version() const { return version_; }

    // "Name:" padded with blanks to 24 characters, then the value.
    static std::string DumpLine(std::string_view name, std::string_view value);

protected:
    // Derived classes append or read their own fields here; errors are thrown as StreamError.
    virtual void WriteFields(TMemoryStream&) {}
    virtual void ReadFields(TMemoryStream&) {}
    virtual void DumpFields(std::vector<std::string>&) {}

    static void WriteInt(TMemoryStream& s, std::int32_t v);
    static void WriteByte(TMemoryStream& s, std::uint8_t v);
    static void WriteText(TMemoryStream& s, std::string_view text);
    // Reads fail with StreamError when the stream ends first or a length is out of bounds.
    static std::int32_t ReadInt(TMemoryStream& s);
    static std::uint8_t ReadByte(TMemoryStream& s);
    static std::string ReadText(TMemoryStream& s);

    std::uint8_t reserved_ = 0;
    std::string className_;
    std::int32_t version_ = 1;
};

} // namespace zkv
