#include "protocol/WireStream.h"

namespace zkv {

bool WireStreamReader::Next(WireEvent& ev) {
    if (done_ || pos_ >= stream_.size())
        return false;
    ev = WireEvent{};
    ev.offset = pos_;
    const std::size_t left = stream_.size() - pos_;
    if (left < kHeaderSize) {
        ev.type = WireEvent::Type::Truncated;
        done_ = true;
        return true;
    }
    const std::uint8_t* raw = stream_.data() + pos_;
    if (!HeaderIsIntact(raw)) {
        // The receiver does not resynchronize: the next 53 bytes are the next header.
        ev.type = WireEvent::Type::BadHeader;
        pos_ += kHeaderSize;
        return true;
    }
    ev.packet.header = PacketHeader::Decode(raw);
    const std::int32_t wire = ev.packet.header.wireLength;
    if (wire <= 0) {
        ev.type = WireEvent::Type::Keepalive;
        pos_ += kHeaderSize;
        return true;
    }
    if (static_cast<std::size_t>(wire) > left - kHeaderSize) {
        ev.type = WireEvent::Type::Truncated;
        done_ = true;
        return true;
    }
    const std::uint8_t* body = raw + kHeaderSize;
    ev.packet.body.assign(body, body + wire);
    pos_ += kHeaderSize + static_cast<std::size_t>(wire);

    DecodeResult r = transport_.Decode(ev.packet);
    if (r != DecodeResult::Ok) {
        ev.type = WireEvent::Type::BadBody;
        ev.error = DecodeResultText(r);
        return true;
    }
    PacketConverter items(ev.packet);
    if (items.GetStatus() != 0) {
        ev.type = WireEvent::Type::BadBody;
        ev.error = "item list is malformed";
        ev.packet.body.clear();
        return true;
    }
    ev.type = WireEvent::Type::Packet;
    return true;
}

} // namespace zkv
