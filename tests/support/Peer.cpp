#include "tests/support/Peer.h"

#include "protocol/Vocabulary.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zkv::test {

PacketRecord CommandPacket(std::int32_t code, std::uint32_t flags, std::uint32_t echo,
                           std::vector<std::uint8_t> data, std::uint8_t kind) {
    PacketConverter list;
    ItemRecord item(code, flags);
    item.echo = echo;
    item.SetData(std::move(data));
    list.AddItem(std::move(item));
    PacketRecord p;
    list.SerializeInto(p);
    p.header.senderRole = static_cast<std::uint8_t>(Role::TECH);
    p.header.addresseeRole = static_cast<std::uint8_t>(Role::CLIENT);
    p.header.kind = kind;
    return p;
}

std::vector<std::uint8_t> Wire(PacketRecord packet, const TransportData& t) {
    std::vector<std::uint8_t> out(kHeaderSize);
    if (!t.Encode(packet))
        return {};
    packet.header.Seal(out.data());
    out.insert(out.end(), packet.body.begin(), packet.body.end());
    return out;
}

std::vector<std::uint8_t> KeepaliveHeader() {
    std::vector<std::uint8_t> out(kHeaderSize);
    PacketHeader h{};
    h.Seal(out.data());
    return out;
}

Peer::~Peer() {
    if (fd_ >= 0)
        ::close(fd_);
}

void Peer::Write(const std::vector<std::uint8_t>& bytes) {
    Write(bytes.data(), bytes.size());
}

void Peer::Write(const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd_, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

std::vector<WireEvent> Peer::Read(const TransportData& t, std::size_t events,
                                  std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::vector<WireEvent> out;
    for (;;) {
        // Take the complete events at the front of the buffer; keep an incomplete tail.
        WireStreamReader reader(buffer_, t);
        WireEvent ev;
        std::size_t consumed = buffer_.size();
        while (reader.Next(ev)) {
            if (ev.type == WireEvent::Type::Truncated) {
                consumed = ev.offset;
                break;
            }
            out.push_back(std::move(ev));
            ev = WireEvent{};
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
        if (out.size() >= events)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        std::uint8_t buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        buffer_.insert(buffer_.end(), buf, buf + n);
    }
    return out;
}

} // namespace zkv::test
