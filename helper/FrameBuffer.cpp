#include "helper/FrameBuffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace zkv::helper {
namespace {

// What one read asks for at least: a batch's reply arrives in few reads, and a small request
// leaves room for the next.
constexpr std::size_t kReadSize = 64 * 1024;

} // namespace

FrameBuffer::Taken FrameBuffer::Take(Frame& f) {
    if (end_ - begin_ < kFrameHeaderSize)
        return Taken::NotYet;
    std::uint8_t header[kFrameHeaderSize];
    std::memcpy(header, buf_.data() + begin_, kFrameHeaderSize);
    std::uint32_t len = 0;
    if (!DecodeFrameHeader(header, len, f.type))
        return Taken::PastTheBounds;
    if (end_ - begin_ - kFrameHeaderSize < len)
        return Taken::NotYet;
    const auto* p = buf_.data() + begin_ + kFrameHeaderSize;
    f.payload.assign(p, p + len);
    begin_ += kFrameHeaderSize + len;
    if (begin_ == end_) {
        begin_ = end_ = 0;
        if (buf_.size() > 4 * kReadSize)
            buf_ = {}; // a large frame's room is not kept
    }
    return Taken::Frame;
}

long FrameBuffer::Fill(int fd) {
    // Room for the rest of the frame at the front (its header is checked), and at least a read's.
    std::size_t want = kReadSize;
    if (end_ - begin_ >= kFrameHeaderSize) {
        std::uint8_t header[kFrameHeaderSize];
        std::memcpy(header, buf_.data() + begin_, kFrameHeaderSize);
        std::uint32_t len = 0;
        std::uint8_t type = 0;
        if (DecodeFrameHeader(header, len, type))
            want = std::max(want, kFrameHeaderSize + len - (end_ - begin_));
    }
    if (begin_ > 0 && buf_.size() - end_ < want) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (buf_.size() - end_ < want)
        buf_.resize(end_ + want);
    for (;;) {
        ssize_t k = recv(fd, buf_.data() + end_, buf_.size() - end_, MSG_DONTWAIT);
        if (k < 0 && errno == ENOTSOCK)
            k = read(fd, buf_.data() + end_, buf_.size() - end_);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
        end_ += static_cast<std::size_t>(k);
        return k;
    }
}

} // namespace zkv::helper
