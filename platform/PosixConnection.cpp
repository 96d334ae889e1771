#include "platform/PosixConnection.h"

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

std::size_t PosixConnection::BytesWaiting() const {
    if (fd_ < 0)
        return 0;
    int n = 0;
    if (::ioctl(fd_, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return static_cast<std::size_t>(n);
}

std::size_t PosixConnection::Receive(std::uint8_t* dst, std::size_t max) {
    if (fd_ < 0 || max == 0)
        return 0;
    for (;;) {
        ssize_t n = ::recv(fd_, dst, max, MSG_DONTWAIT);
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n == 0) {
            peerClosed_ = true;
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            peerClosed_ = true;
        return 0;
    }
}

long PosixConnection::Send(const std::uint8_t* src, std::size_t n) {
    if (!Active())
        return -1;
    for (;;) {
        ssize_t w = ::send(fd_, src, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w >= 0)
            return static_cast<long>(w);
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
    pollfd p{fd_, POLLIN, 0};
    const int rc = PollRetrying(p, timeoutMs);
    if (rc <= 0)
        return false;
    if (BytesWaiting() > 0)
        return true;
    // Readable with nothing waiting: the peer closed (or the connection failed).
    std::uint8_t probe;
    ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        peerClosed_ = true;
    return n > 0;
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
