// PosixConnection: IConnection over a connected stream socket (TCP or a socketpair end).
//
// The descriptor is made non-blocking: Send takes what the kernel buffer accepts and returns -1
// when it accepts nothing; Receive never waits. The connection turns inactive when the peer
// has closed it (seen by WaitReadable or a receive that returns end of stream), when a send
// fails for a reason other than a full buffer, or when Close is called.
//
// Like a window system's socket it keeps a receive buffer of its own: BytesWaiting takes what
// the kernel holds in one receive and Receive hands it out, so reading a packet's header and
// body costs one system call rather than one per piece and one per question. BytesWaiting asks
// the kernel again when the buffer is empty or when nothing was received since it last
// answered (the caller needs more than it was offered). A small SendMore is held and leaves
// with the next Send in one system call.
#pragma once

#include "protocol/Connection.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zkv {

class PosixConnection : public IConnection {
public:
    PosixConnection() = default;
    // Takes ownership of a connected socket descriptor.
    explicit PosixConnection(int fd);
    ~PosixConnection() override;
    PosixConnection(const PosixConnection&) = delete;
    PosixConnection& operator=(const PosixConnection&) = delete;

    // Connects to host:port (name or dotted address, IPv4 or IPv6), blocking until the
    // connection is made or refused. False with `error` set on failure.
    bool ConnectTcp(const std::string& host, std::uint16_t port, std::string* error = nullptr);
    // Takes ownership of `fd`, closing any previous descriptor.
    void Adopt(int fd);
    void Close();
    int Fd() const { return fd_; }

    bool Active() const override { return fd_ >= 0 && !peerClosed_; }
    // Bytes in the receive buffer and, when it asks (see above), the kernel's.
    std::size_t BytesWaiting() const override;
    std::size_t Receive(std::uint8_t* dst, std::size_t max) override;
    long Send(const std::uint8_t* src, std::size_t n) override;
    // Held back (in here while small, else by the kernel: MSG_MORE) until the next Send.
    long SendMore(const std::uint8_t* src, std::size_t n) override;
    // Sends may come from another thread than the receives (the framing serializes the sends;
    // the connection is closed only once no thread sends).
    bool SendsFromAnyThread() const override { return true; }

    // Waits up to `timeoutMs` (-1: forever) for bytes or the peer's close. Returns true when
    // bytes are waiting that the caller has not been offered yet (at once when the receive
    // buffer holds such); a close seen here makes the connection inactive.
    bool WaitReadable(int timeoutMs);
    // Waits up to `timeoutMs` for room in the send buffer.
    bool WaitWritable(int timeoutMs);

private:
    long SendWith(const std::uint8_t* src, std::size_t n, int flags);
    // One non-blocking receive into the free end of the buffer.
    void Fill() const;
    void Forget();

    static constexpr std::size_t kReceiveBuffer = 64 * 1024;
    // SendMore pieces up to this size in all are held for the next Send.
    static constexpr std::size_t kHeldSend = 256;

    std::atomic<int> fd_{-1};
    mutable std::atomic<bool> peerClosed_{false};
    mutable std::unique_ptr<std::uint8_t[]> in_;
    mutable std::size_t inHead_ = 0;
    mutable std::size_t inTail_ = 0;
    // BytesWaiting answered and nothing was received since.
    mutable bool offered_ = false;
    std::vector<std::uint8_t> held_;
};

// A listening TCP socket on a loopback or given address. Port 0 picks a free port.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool Listen(const std::string& address, std::uint16_t port, std::string* error = nullptr);
    // The bound port (useful after Listen with port 0).
    std::uint16_t Port() const { return port_; }
    int Fd() const { return fd_; }
    // Accepts one connection, waiting up to `timeoutMs` (-1: forever). Returns the descriptor,
    // or -1.
    int Accept(int timeoutMs);
    void Close();

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Disables Nagle's algorithm so that each write leaves as its own segment when it can.
void SetNoDelay(int fd);

} // namespace zkv
