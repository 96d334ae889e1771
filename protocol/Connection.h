// The byte connection the framing reads from and writes to.
//
// The desktop client implements it over its proxy-capable Qt socket; tests and the service
// stand-in implement it over plain sockets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zkv {

class IConnection {
public:
    virtual ~IConnection() = default;
    // True while the connection is open (for a proxied one: after the proxy handshake).
    virtual bool Active() const = 0;
    // Bytes that can be received now without blocking.
    virtual std::size_t BytesWaiting() const = 0;
    // Receives up to `max` bytes into `dst`; returns how many were received.
    virtual std::size_t Receive(std::uint8_t* dst, std::size_t max) = 0;
    // Writes up to `n` bytes; returns how many were taken, or -1 when none could be (buffer full
    // or failure). The framing retries until a chunk is complete.
    virtual long Send(const std::uint8_t* src, std::size_t n) = 0;
    // As Send, when more bytes of the same packet follow at once: a connection may hold these
    // back to leave together with them, so that a small packet reaches the peer in one piece
    // rather than as a header and then a body.
    virtual long SendMore(const std::uint8_t* src, std::size_t n) { return Send(src, n); }
    // True when Active, Send and SendMore may be called from any thread (the framing serializes
    // the sends); otherwise only from the thread that receives.
    virtual bool SendsFromAnyThread() const { return false; }
};

} // namespace zkv
