#include "protocol/Pack.h"

#include <algorithm>
#include <limits>
#include <zlib.h>

namespace zkv {

namespace {

// One deflate and one inflate state per thread, reset between bodies rather than built anew:
// a level-9 state is some 256 KiB whose allocation (and the page faults of memory the allocator
// gave back meanwhile) cost more than compressing a small body. A reset state is the state a
// fresh one starts in, so the output is the same byte for byte. The deflate reset clears a
// 64 KiB hash table, more than compressing a one-sector reply costs, so a sender has it done
// after its packet is on its way (PrepareNextCompress) rather than before the next one.
struct Deflater {
    z_stream z{};
    bool ok = false;
    bool fresh = true; // initialised or reset since its last use
    Deflater() { ok = deflateInit(&z, Z_BEST_COMPRESSION) == Z_OK; }
    ~Deflater() {
        if (ok)
            deflateEnd(&z);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
};

struct Inflater {
    z_stream z{};
    bool ok = false;
    Inflater() { ok = inflateInit(&z) == Z_OK; }
    ~Inflater() {
        if (ok)
            inflateEnd(&z);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

Deflater& ThreadDeflater() {
    thread_local Deflater deflater;
    return deflater;
}

// Brings the thread's deflate state back to where a new one starts.
bool MakeFresh(Deflater& d) {
    if (!d.ok)
        return false;
    if (!d.fresh) {
        if (deflateReset(&d.z) != Z_OK)
            return false;
        d.fresh = true;
    }
    return true;
}

} // namespace

void CPack::PrepareNextCompress() {
    MakeFresh(ThreadDeflater());
}

bool CPack::Compress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output) {
    if (input.size() > std::numeric_limits<uInt>::max())
        return false;
    Deflater& deflater = ThreadDeflater();
    if (!MakeFresh(deflater))
        return false;
    deflater.fresh = false;
    z_stream& z = deflater.z;
    // deflateBound is zlib's exact worst case for these settings, so one Z_FINISH call suffices.
    output.resize(deflateBound(&z, static_cast<uLong>(input.size())));
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(output.size());
    int rc = deflate(&z, Z_FINISH);
    std::size_t produced = z.total_out;
    if (rc != Z_STREAM_END) {
        output.clear();
        return false;
    }
    output.resize(produced);
    return true;
}

CPack::InflateResult CPack::Decompress(std::span<const std::uint8_t> input, std::size_t limit,
                                       std::vector<std::uint8_t>& output) {
    output.clear();
    if (input.size() > std::numeric_limits<uInt>::max() ||
        limit >= std::numeric_limits<uInt>::max())
        return InflateResult::Corrupt;
    thread_local Inflater inflater;
    if (!inflater.ok || inflateReset(&inflater.z) != Z_OK)
        return InflateResult::Corrupt;
    z_stream& z = inflater.z;
    // Grow the output as the stream proves it needs more, so a header that announces a large
    // body cannot make us allocate it for a few bytes of input. One spare byte past the limit
    // tells a stream that inflates too far from one that fits exactly.
    const std::size_t cap = limit + 1;
    std::size_t size = std::min(cap, input.size() * 4 + 256);
    output.reserve(size);
    output.resize(size);
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(output.size());
    int rc;
    for (;;) {
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK || z.avail_out != 0 || size == cap)
            break;
        std::size_t grown = std::min(cap, size * 2);
        // Exactly this much: resize alone may double the capacity past the cap.
        output.reserve(grown);
        output.resize(grown);
        z.next_out = output.data() + size;
        z.avail_out = static_cast<uInt>(grown - size);
        size = grown;
    }
    std::size_t produced = z.total_out;
    if (rc == Z_STREAM_END && produced <= limit) {
        output.resize(produced);
        return InflateResult::Ok;
    }
    output.clear();
    if (produced > limit)
        return InflateResult::TooLarge;
    return InflateResult::Corrupt;
}

} // namespace zkv
