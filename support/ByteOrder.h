// Explicit little-endian encoding of wire and file integers.
//
// Every multi-byte value that crosses the wire or lands in a file goes through these helpers;
// no struct is ever cast onto a buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zkv {

inline void PutU8(std::uint8_t* p, std::uint8_t v) {
    p[0] = v;
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutI32(std::uint8_t* p, std::int32_t v) {
    PutU32(p, static_cast<std::uint32_t>(v));
}
inline void PutU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutF64(std::uint8_t* p, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    PutU64(p, bits);
}

inline std::uint8_t GetU8(const std::uint8_t* p) {
    return p[0];
}
inline std::uint16_t GetU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t GetI32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(GetU32(p));
}
inline std::uint64_t GetU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(GetU32(p)) |
           (static_cast<std::uint64_t>(GetU32(p + 4)) << 32);
}
inline double GetF64(const std::uint8_t* p) {
    std::uint64_t bits = GetU64(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Appends little-endian values to a growing byte vector.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}
    void U8(std::uint8_t v) { out_.push_back(v); }
    void U16(std::uint16_t v) { Append(v, 2); }
    void U32(std::uint32_t v) { Append(v, 4); }
    void I32(std::int32_t v) { Append(static_cast<std::uint32_t>(v), 4); }
    void U64(std::uint64_t v) { Append(v, 8); }
    void F64(double v) {
        std::uint8_t b[8];
        PutF64(b, v);
        Bytes(b);
    }
    void Bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void Bytes(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }

private:
    void Append(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    std::vector<std::uint8_t>& out_;
};

// Reads little-endian values from a bounded byte range. Every read checks what is left and
// reports false instead of reading past the end; the position then stays where it was.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data, std::size_t pos = 0)
        : data_(data), pos_(pos <= data.size() ? pos : data.size()) {}

    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return data_.size() - pos_; }
    bool AtEnd() const { return pos_ >= data_.size(); }

    bool U8(std::uint8_t& v) {
        return Fixed(1, [&](const std::uint8_t* p) { v = GetU8(p); });
    }
    bool U16(std::uint16_t& v) {
        return Fixed(2, [&](const std::uint8_t* p) { v = GetU16(p); });
    }
    bool U32(std::uint32_t& v) {
        return Fixed(4, [&](const std::uint8_t* p) { v = GetU32(p); });
    }
    bool I32(std::int32_t& v) {
        return Fixed(4, [&](const std::uint8_t* p) { v = GetI32(p); });
    }
    bool U64(std::uint64_t& v) {
        return Fixed(8, [&](const std::uint8_t* p) { v = GetU64(p); });
    }
    bool F64(double& v) {
        return Fixed(8, [&](const std::uint8_t* p) { v = GetF64(p); });
    }
    bool Bytes(std::uint8_t* dst, std::size_t n) {
        return Fixed(n, [&](const std::uint8_t* p) { std::memcpy(dst, p, n); });
    }
    bool Skip(std::size_t n) {
        return Fixed(n, [](const std::uint8_t*) {});
    }
    // Takes up to n bytes (fewer when the range ends first); returns how many were taken.
    std::size_t Some(std::uint8_t* dst, std::size_t n) {
        std::size_t k = n < Remaining() ? n : Remaining();
        if (k)
            std::memcpy(dst, data_.data() + pos_, k);
        pos_ += k;
        return k;
    }
    // A zero-terminated text inside a fixed field of `width` bytes.
    bool FixedText(std::size_t width, std::string& out) {
        if (Remaining() < width)
            return false;
        const char* p = reinterpret_cast<const char*>(data_.data() + pos_);
        std::size_t n = 0;
        while (n < width && p[n] != '\0')
            ++n;
        out.assign(p, n);
        pos_ += width;
        return true;
    }
    // A zero-terminated text that must end inside the range; the terminator is consumed.
    bool ZText(std::string& out) {
        const char* p = reinterpret_cast<const char*>(data_.data() + pos_);
        std::size_t left = Remaining();
        std::size_t n = 0;
        while (n < left && p[n] != '\0')
            ++n;
        if (n == left)
            return false;
        out.assign(p, n);
        pos_ += n + 1;
        return true;
    }

private:
    template <class F> bool Fixed(std::size_t n, F&& f) {
        if (Remaining() < n)
            return false;
        f(data_.data() + pos_);
        pos_ += n;
        return true;
    }
    std::span<const std::uint8_t> data_;
    std::size_t pos_;
};

// Lower-case hex of a byte range, and its inverse (false on odd length or a non-hex digit).
std::string ToHex(std::span<const std::uint8_t> bytes);
bool FromHex(std::string_view hex, std::vector<std::uint8_t>& out);

} // namespace zkv
