// The bytes received on one connection and not yet taken as frames. A reader waits until its
// descriptor is readable, fills the buffer with one read of all that waits, and takes the whole
// frames at its front: a request or a reply costs one read, however its bytes arrived.
#pragma once

#include "helper/HelperProtocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zkv::helper {

class FrameBuffer {
public:
    enum class Taken { Frame, NotYet, PastTheBounds };
    // The whole frame at the front, if there is one. A header past the bounds is refused as soon
    // as its five bytes are here, before any of its payload is waited for or kept.
    Taken Take(Frame& f);

    // One read of what waits on `fd` (a socket, or any descriptor known to be readable):
    // the bytes read, 0 at the end of the connection, -1 on an error (errno), -2 when nothing
    // waits.
    long Fill(int fd);

    bool Empty() const { return begin_ == end_; }

private:
    std::vector<std::uint8_t> buf_;
    std::size_t begin_ = 0, end_ = 0;
};

} // namespace zkv::helper
