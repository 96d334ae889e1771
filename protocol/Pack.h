// CPack: zlib stream compression of packet bodies (level 9, one Z_FINISH pass) and inflation.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zkv {

class CPack {
public:
    enum class InflateResult {
        Ok,
        Corrupt,  // not a complete, valid zlib stream
        TooLarge, // inflates to more than the limit
    };

    // A complete zlib stream (header, deflate data, Adler-32) of `input`; false only if zlib
    // itself fails.
    static bool Compress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output);
    // Readies this thread's compressor for its next body now, so that Compress does not have to
    // first. Output is the same either way; a sender calls it once its packet is written.
    static void PrepareNextCompress();

    // Inflates the zlib stream at the start of `input`; bytes after its end are ignored.
    // Never produces more than `limit` bytes.
    static InflateResult Decompress(std::span<const std::uint8_t> input, std::size_t limit,
                                    std::vector<std::uint8_t>& output);
};

} // namespace zkv
