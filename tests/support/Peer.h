// The far end of a test connection: writes raw bytes and packets, and reads back what the
// client wrote, packet by packet.
#pragma once

#include "protocol/PacketJson.h"
#include "protocol/TransportData.h"
#include "protocol/WireStream.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace zkv::test {

// A command packet of one item, with a plain body, ready to be encoded.
PacketRecord CommandPacket(std::int32_t code, std::uint32_t flags, std::uint32_t echo,
                           std::vector<std::uint8_t> data = {}, std::uint8_t kind = 0);
// Encodes the packet with `t` and returns header and body bytes.
std::vector<std::uint8_t> Wire(PacketRecord packet, const TransportData& t);
std::vector<std::uint8_t> KeepaliveHeader();

class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer();
    int Fd() const { return fd_; }
    void Write(const std::vector<std::uint8_t>& bytes);
    void Write(const std::uint8_t* p, std::size_t n);
    // Collects what arrives for up to `timeout` until at least `events` complete events have
    // been read, and returns them (packets decoded with `t`), consuming them; an incomplete
    // tail stays for the next call.
    std::vector<WireEvent> Read(const TransportData& t, std::size_t events,
                                std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::size_t Buffered() const { return buffer_.size(); }

private:
    int fd_;
    std::vector<std::uint8_t> buffer_;
};

} // namespace zkv::test
