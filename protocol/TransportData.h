// TransportData: the cipher and compressor every packet body passes through.
//
// Send: zlib stream (level 9) -> zero padding to whole 8-byte blocks -> Blowfish ECB.
// Receive: Blowfish ECB -> inflate (padding after the stream is ignored) -> the inflated size
// must equal the header's plain length.
//
// The key moves between the built-in key (at start and after every disconnect), the
// per-connection key from the login reply, and any key the server sends later.
#pragma once

#include "protocol/Blowfish.h"
#include "protocol/Packet.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace zkv {

inline constexpr std::size_t kKeyLength = 56;
using Key = std::array<std::uint8_t, kKeyLength>;

// Defined in BuiltinKey.cpp.
extern const Key kBuiltinKey;

// A packet's plain (decompressed) body is at most kMaxPlainLength bytes on both sides: the
// largest legitimate payload, one command's 32 MiB of sector data, fits with room to spare.
inline constexpr std::int32_t kMaxPlainLength = 40 << 20;
// The encoded body of such a packet: zlib's worst case for incompressible data adds well under
// 1/1024 of the input, rounded up to whole cipher blocks.
inline constexpr std::int32_t kMaxWireLength = kMaxPlainLength + (kMaxPlainLength >> 10);
// An intact header announcing a body past kMaxWireLength (or a plain body past kMaxPlainLength)
// but not past this is read through and skipped, so the stream stays in step; a header
// announcing more is not trusted at all (see Framing).
inline constexpr std::int32_t kMaxBodyLength = 64 << 20;

enum class DecodeResult {
    Ok,
    BadLength,      // wire length not a positive multiple of 8, or past the limit or buffer
    BadPlainLength, // plain length not positive or past the limit
    CipherUnusable, // the last key schedule failed
    InflateFailed,  // not a zlib stream under this key
    SizeMismatch,   // inflated to a size other than the plain length
};
const char* DecodeResultText(DecodeResult r);

class TransportData {
public:
    // Starts on the built-in key.
    TransportData();

    // The process-wide instance used by the client's connection.
    static TransportData& Global();

    // Runs the key schedule on `length` bytes at `key`. On failure the cipher is marked unusable
    // and false is returned.
    bool SetKey(const std::uint8_t* key, std::size_t length);
    // Copies a 56-byte key into the working key and sets it.
    bool UseKey(const Key& key);
    // Copies the pristine built-in key back into the working key and sets it.
    bool UseBuiltinKey() { return UseKey(kBuiltinKey); }

    Key& WorkingKey() { return workingKey_; }
    bool CipherUnusable() const { return unusable_; }

    // packet.body holds the plain body (header.plainLength as serialized). Afterwards it holds
    // the ciphertext and header.wireLength its length. False if compression failed or the
    // cipher is unusable; the packet is then left unchanged.
    bool Encode(PacketRecord& packet) const;

    // packet.body holds header.wireLength bytes of ciphertext. On Ok it holds exactly
    // header.plainLength bytes of plain body; otherwise the body is cleared and must be dropped.
    DecodeResult Decode(PacketRecord& packet) const;

private:
    // Taken by Encode and by the key's change: a worker thread may encode while the main thread
    // changes the key.
    mutable std::mutex keyLock_;
    CBlowfish cipher_;
    Key workingKey_{};
    bool unusable_ = false;
};

} // namespace zkv
