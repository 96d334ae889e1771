#include "protocol/Blowfish.h"

#include "support/ByteOrder.h"

#include <cstring>

namespace zkv {

#include "protocol/BlowfishTables.inc"

bool CBlowfish::SetKey(const std::uint8_t* key, std::size_t length) {
    if (!key || length == 0 || length > kMaxKeyLength)
        return false;
    std::memcpy(p_, kInitP, sizeof p_);
    std::memcpy(s_, kInitS, sizeof s_);
    std::size_t j = 0;
    for (auto& p : p_) {
        std::uint32_t word = 0;
        for (int k = 0; k < 4; ++k)
            word = (word << 8) | key[(j + static_cast<std::size_t>(k)) % length];
        p ^= word;
        j = (j + 4) % length;
    }
    std::uint32_t l = 0, r = 0;
    for (int i = 0; i < 18; i += 2) {
        Encrypt(l, r);
        p_[i] = l;
        p_[i + 1] = r;
    }
    for (auto& box : s_) {
        for (int i = 0; i < 256; i += 2) {
            Encrypt(l, r);
            box[i] = l;
            box[i + 1] = r;
        }
    }
    return true;
}

void CBlowfish::Encrypt(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left, r = right;
    for (int i = 0; i < 16; i += 2) {
        l ^= p_[i];
        r ^= F(l);
        r ^= p_[i + 1];
        l ^= F(r);
    }
    l ^= p_[16];
    r ^= p_[17];
    left = r;
    right = l;
}

void CBlowfish::Decrypt(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left, r = right;
    for (int i = 17; i > 1; i -= 2) {
        l ^= p_[i];
        r ^= F(l);
        r ^= p_[i - 1];
        l ^= F(r);
    }
    l ^= p_[1];
    r ^= p_[0];
    left = r;
    right = l;
}

// ECB blocks are independent, so eight are run side by side: their table look-ups overlap in the
// pipeline instead of waiting on each other.
namespace {
template <int Step, bool Enc>
inline void Rounds(const std::uint32_t* p, const std::uint32_t (*s)[256], std::uint32_t* l,
                   std::uint32_t* r) {
    auto f = [s](std::uint32_t x) {
        return ((s[0][x >> 24] + s[1][(x >> 16) & 0xFF]) ^ s[2][(x >> 8) & 0xFF]) + s[3][x & 0xFF];
    };
#pragma GCC unroll 8
    for (int i = 0; i < 16; i += 2) {
        const std::uint32_t k0 = Enc ? p[i] : p[17 - i];
        const std::uint32_t k1 = Enc ? p[i + 1] : p[16 - i];
#pragma GCC unroll 8
        for (int b = 0; b < Step; ++b) {
            l[b] ^= k0;
            r[b] ^= f(l[b]);
        }
#pragma GCC unroll 8
        for (int b = 0; b < Step; ++b) {
            r[b] ^= k1;
            l[b] ^= f(r[b]);
        }
    }
    const std::uint32_t kl = Enc ? p[16] : p[1];
    const std::uint32_t kr = Enc ? p[17] : p[0];
    for (int b = 0; b < Step; ++b) {
        std::uint32_t t = l[b] ^ kl;
        l[b] = r[b] ^ kr;
        r[b] = t;
    }
}

template <bool Enc>
void Ecb(const std::uint32_t* p, const std::uint32_t (*s)[256], std::uint8_t* data,
         std::size_t length) {
    std::size_t off = 0;
    for (; off + 64 <= length; off += 64) {
        std::uint32_t l[8], r[8];
        for (int b = 0; b < 8; ++b) {
            l[b] = GetU32(data + off + 8 * b);
            r[b] = GetU32(data + off + 8 * b + 4);
        }
        Rounds<8, Enc>(p, s, l, r);
        for (int b = 0; b < 8; ++b) {
            PutU32(data + off + 8 * b, l[b]);
            PutU32(data + off + 8 * b + 4, r[b]);
        }
    }
    for (; off + 8 <= length; off += 8) {
        std::uint32_t l = GetU32(data + off), r = GetU32(data + off + 4);
        Rounds<1, Enc>(p, s, &l, &r);
        PutU32(data + off, l);
        PutU32(data + off + 4, r);
    }
}
} // namespace

void CBlowfish::EncryptEcb(std::uint8_t* data, std::size_t length) const {
    Ecb<true>(p_, s_, data, length);
}

void CBlowfish::DecryptEcb(std::uint8_t* data, std::size_t length) const {
    Ecb<false>(p_, s_, data, length);
}

} // namespace zkv
