// Reading a captured one-direction byte stream of the protocol, packet by packet, the way the
// receiver reads it: 53-byte header, magic and CRC check, then wire-length bytes of body.
#pragma once

#include "protocol/Packet.h"
#include "protocol/TransportData.h"

#include <cstdint>
#include <span>
#include <string>

namespace zkv {

struct WireEvent {
    enum class Type {
        Packet,    // header and decoded, parsed body
        Keepalive, // intact header with wire length 0 (or below)
        BadHeader, // 53 bytes that fail the magic or CRC check
        BadBody,   // a body that cannot be decoded or does not parse into items
        Truncated, // the stream ends inside a header or a body
    };
    Type type = Type::Packet;
    std::size_t offset = 0; // of the header in the stream
    PacketRecord packet;    // header always; body = plain body for Packet
    std::string error;      // BadBody: what is wrong
};

class WireStreamReader {
public:
    WireStreamReader(std::span<const std::uint8_t> stream, const TransportData& transport)
        : stream_(stream), transport_(transport) {}

    // The next event; false at the end of the stream (after a Truncated event, too).
    bool Next(WireEvent& event);

private:
    std::span<const std::uint8_t> stream_;
    const TransportData& transport_;
    std::size_t pos_ = 0;
    bool done_ = false;
};

} // namespace zkv
