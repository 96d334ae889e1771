#include "platform/PosixConnection.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace zkv {

namespace {
void MakeNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}
// poll() on one descriptor, resumed after a signal.
int PollRetrying(pollfd& p, int timeoutMs) {
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    return rc;
}
bool SetError(std::string* error, const std::string& what) {
    if (error)
        *error = what;
    return false;
}
} // namespace

void SetNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one); // fails harmlessly on non-TCP
}

PosixConnection::PosixConnection(int fd) {
    Adopt(fd);
}

PosixConnection::~PosixConnection() {
    Close();
}

void PosixConnection::Forget() {
    inHead_ = inTail_ = 0;
    offered_ = false;
    held_.clear();
}

void PosixConnection::Adopt(int fd) {
    Close();
    fd_ = fd;
    peerClosed_ = false;
    if (fd_ >= 0)
        MakeNonBlocking(fd_);
}

void PosixConnection::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    peerClosed_ = false;
    Forget();
}

bool PosixConnection::ConnectTcp(const std::string& host, std::uint16_t port, std::string* error) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0)
        return SetError(error, "cannot resolve " + host + ": " + ::gai_strerror(rc));
    std::string last = "no address";
    for (addrinfo* a = list; a; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            last = std::strerror(errno);
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ::freeaddrinfo(list);
            SetNoDelay(fd);
            Adopt(fd);
            return true;
        }
        last = std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(list);
    return SetError(error, "cannot connect to " + host + ":" + service + ": " + last);
}

void PosixConnection::Fill() const {
    if (fd_ < 0 || peerClosed_)
        return;
    if (!in_)
        in_ = std::make_unique<std::uint8_t[]>(kReceiveBuffer);
    if (inHead_ == inTail_) {
        inHead_ = inTail_ = 0;
    } else if (inTail_ == kReceiveBuffer && inHead_ > 0) {
        std::memmove(in_.get(), in_.get() + inHead_, inTail_ - inHead_);
        inTail_ -= inHead_;
        inHead_ = 0;
    }
    if (inTail_ == kReceiveBuffer)
        return;
    for (;;) {
        ssize_t n = ::recv(fd_, in_.get() + inTail_, kReceiveBuffer - inTail_, MSG_DONTWAIT);
        if (n > 0) {
            inTail_ += static_cast<std::size_t>(n);
            return;
        }
        if (n == 0) {
            peerClosed_ = true;
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            peerClosed_ = true;
        return;
    }
}

std::size_t PosixConnection::BytesWaiting() const {
    if (fd_ < 0)
        return 0;
    if (inHead_ == inTail_ || offered_)
        Fill();
    offered_ = true;
    return inTail_ - inHead_;
}

std::size_t PosixConnection::Receive(std::uint8_t* dst, std::size_t max) {
    if (fd_ < 0 || max == 0)
        return 0;
    if (inHead_ == inTail_)
        Fill();
    const std::size_t n = std::min(max, inTail_ - inHead_);
    if (n > 0) {
        std::memcpy(dst, in_.get() + inHead_, n);
        inHead_ += n;
        offered_ = false;
    }
    return n;
}

long PosixConnection::Send(const std::uint8_t* src, std::size_t n) {
    return SendWith(src, n, 0);
}

long PosixConnection::SendMore(const std::uint8_t* src, std::size_t n) {
    if (Active() && held_.size() + n <= kHeldSend) {
        held_.insert(held_.end(), src, src + n);
        return static_cast<long>(n);
    }
    return SendWith(src, n, MSG_MORE);
}

long PosixConnection::SendWith(const std::uint8_t* src, std::size_t n, int flags) {
    if (!Active())
        return -1;
    iovec parts[2] = {{held_.data(), held_.size()}, {const_cast<std::uint8_t*>(src), n}};
    msghdr msg{};
    msg.msg_iov = held_.empty() ? parts + 1 : parts;
    msg.msg_iovlen = held_.empty() ? 1 : 2;
    for (;;) {
        ssize_t w = ::sendmsg(fd_, &msg, MSG_DONTWAIT | MSG_NOSIGNAL | flags);
        if (w >= 0) {
            // What was held goes first; only what is past it was taken from `src`.
            const std::size_t fromHeld = std::min(static_cast<std::size_t>(w), held_.size());
            held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(fromHeld));
            const std::size_t taken = static_cast<std::size_t>(w) - fromHeld;
            return taken > 0 || n == 0 ? static_cast<long>(taken) : -1;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            peerClosed_ = true; // reset or broken: the connection is gone
        return -1;
    }
}

bool PosixConnection::WaitReadable(int timeoutMs) {
    if (!Active())
        return false;
    if (inHead_ != inTail_ && !offered_)
        return true;
    pollfd p{fd_, POLLIN, 0};
    const int rc = PollRetrying(p, timeoutMs);
    if (rc <= 0)
        return false;
    // Readable: bytes arrived or the peer closed (the receive sees which).
    const std::size_t before = inTail_ - inHead_;
    Fill();
    if (inTail_ - inHead_ == before)
        return false;
    offered_ = false;
    return true;
}

bool PosixConnection::WaitWritable(int timeoutMs) {
    if (!Active())
        return false;
    pollfd p{fd_, POLLOUT, 0};
    const int rc = PollRetrying(p, timeoutMs);
    return rc > 0 && (p.revents & POLLOUT);
}

TcpListener::~TcpListener() {
    Close();
}

void TcpListener::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    port_ = 0;
}

bool TcpListener::Listen(const std::string& address, std::uint16_t port, std::string* error) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &list);
    if (rc != 0)
        return SetError(error, "bad listening address " + address + ": " + ::gai_strerror(rc));
    int fd = ::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    if (fd < 0) {
        ::freeaddrinfo(list);
        return SetError(error, std::string("socket: ") + std::strerror(errno));
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, list->ai_addr, list->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
        std::string why = std::strerror(errno);
        ::close(fd);
        ::freeaddrinfo(list);
        return SetError(error, "cannot listen on " + address + ":" + service + ": " + why);
    }
    ::freeaddrinfo(list);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    if (bound.ss_family == AF_INET)
        port_ = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    else if (bound.ss_family == AF_INET6)
        port_ = ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    MakeNonBlocking(fd);
    fd_ = fd;
    return true;
}

int TcpListener::Accept(int timeoutMs) {
    if (fd_ < 0)
        return -1;
    pollfd p{fd_, POLLIN, 0};
    const int rc = PollRetrying(p, timeoutMs);
    if (rc <= 0)
        return -1;
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        SetNoDelay(fd);
    return fd;
}

} // namespace zkv
