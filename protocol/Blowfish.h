// CBlowfish: the Blowfish block cipher (64-bit block, 16 rounds), used in ECB mode.
//
// Block layout on this wire: the 8 bytes are two little-endian 32-bit halves, left = bytes 0-3,
// right = bytes 4-7. (Most libraries read the halves big-endian; they interoperate only after
// swapping the bytes of each half.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zkv {

class CBlowfish {
public:
    static constexpr std::size_t kMaxKeyLength = 56;

    // Runs the key schedule. Fails for an empty key reference, a zero length or one above 56.
    bool SetKey(const std::uint8_t* key, std::size_t length);

    void Encrypt(std::uint32_t& left, std::uint32_t& right) const;
    void Decrypt(std::uint32_t& left, std::uint32_t& right) const;

    // In place, block by block; `length` must be a multiple of 8 (a tail is left untouched).
    // Runs on the fastest path this processor offers (see EcbPath).
    void EncryptEcb(std::uint8_t* data, std::size_t length) const;
    void DecryptEcb(std::uint8_t* data, std::size_t length) const;

    // The ways ECB can be run; every one gives the same bytes. Scalar runs eight blocks side by
    // side in general registers; the vector paths fetch the S-box words with gathers, eight
    // (AVX2) or sixteen (AVX-512) blocks to a register, two registers in flight.
    enum class EcbPath { Scalar, Avx2, Avx512 };
    // The paths this processor can run, Scalar first.
    static const std::vector<EcbPath>& SupportedPaths();
    // The path EncryptEcb and DecryptEcb take: the fastest supported one, timed once on first
    // use (gathers are slow on some processors, whatever cpuid says).
    static EcbPath ChosenPath();
    static const char* PathName(EcbPath path);
    void EncryptEcb(EcbPath path, std::uint8_t* data, std::size_t length) const;
    void DecryptEcb(EcbPath path, std::uint8_t* data, std::size_t length) const;

private:
    std::uint32_t F(std::uint32_t x) const {
        return ((s_[0][x >> 24] + s_[1][(x >> 16) & 0xFF]) ^ s_[2][(x >> 8) & 0xFF]) +
               s_[3][x & 0xFF];
    }

    std::uint32_t p_[18]{};
    std::uint32_t s_[4][256]{};
};

} // namespace zkv
