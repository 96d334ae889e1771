// Blocking whole-buffer transfers on a connected socket, for the benchmark programs that play
// the service's side of a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

namespace zkv::bench {

// Sends all `n` bytes; false when the connection fails or closes first.
inline bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Receives exactly `n` bytes; false when the connection fails or closes first.
inline bool ReadAll(int fd, std::uint8_t* p, std::size_t n) {
    while (n) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

} // namespace zkv::bench
