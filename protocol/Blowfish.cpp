#include "protocol/Blowfish.h"

#include "support/ByteOrder.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__) || defined(__i386__)
#define ZKV_BLOWFISH_X86 1
// GCC's AVX-512 intrinsics start from _mm512_undefined_epi32(), which its flow analysis reports.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The vector paths: the S-box words are fetched with gathers. The blocks of a chunk are split
// into a register of left halves and one of right halves (in an order of the lanes' choosing,
// undone on the way out); two such pairs are kept in flight so one's gathers overlap the
// other's arithmetic.
__attribute__((target("avx2"), always_inline)) inline __m256i F8(const std::uint32_t (*s)[256],
                                                                 __m256i x) {
    const __m256i ff = _mm256_set1_epi32(0xFF);
    const __m256i a =
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(s[0]), _mm256_srli_epi32(x, 24), 4);
    const __m256i b = _mm256_i32gather_epi32(reinterpret_cast<const int*>(s[1]),
                                             _mm256_and_si256(_mm256_srli_epi32(x, 16), ff), 4);
    const __m256i c = _mm256_i32gather_epi32(reinterpret_cast<const int*>(s[2]),
                                             _mm256_and_si256(_mm256_srli_epi32(x, 8), ff), 4);
    const __m256i d =
        _mm256_i32gather_epi32(reinterpret_cast<const int*>(s[3]), _mm256_and_si256(x, ff), 4);
    return _mm256_add_epi32(_mm256_xor_si256(_mm256_add_epi32(a, b), c), d);
}

__attribute__((target("avx512f"), always_inline)) inline __m512i F16(const std::uint32_t (*s)[256],
                                                                     __m512i x) {
    const __m512i ff = _mm512_set1_epi32(0xFF);
    const __m512i a = _mm512_i32gather_epi32(_mm512_srli_epi32(x, 24), s[0], 4);
    const __m512i b =
        _mm512_i32gather_epi32(_mm512_and_si512(_mm512_srli_epi32(x, 16), ff), s[1], 4);
    const __m512i c =
        _mm512_i32gather_epi32(_mm512_and_si512(_mm512_srli_epi32(x, 8), ff), s[2], 4);
    const __m512i d = _mm512_i32gather_epi32(_mm512_and_si512(x, ff), s[3], 4);
    return _mm512_add_epi32(_mm512_xor_si512(_mm512_add_epi32(a, b), c), d);
}

template <bool Enc>
__attribute__((target("avx2"))) void EcbAvx2(const std::uint32_t* p, const std::uint32_t (*s)[256],
                                             std::uint8_t* data, std::size_t length) {
    constexpr int G = 2; // register pairs in flight: 8 blocks each
    std::size_t off = 0;
    for (; off + 64 * G <= length; off += 64 * G) {
        __m256i l[G], r[G];
        for (int g = 0; g < G; ++g) {
            const __m256 v0 = _mm256_loadu_ps(reinterpret_cast<const float*>(data + off + 64 * g));
            const __m256 v1 =
                _mm256_loadu_ps(reinterpret_cast<const float*>(data + off + 64 * g + 32));
            l[g] = _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
            r[g] = _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
        }
        for (int i = 0; i < 16; i += 2) {
            const __m256i k0 = _mm256_set1_epi32(static_cast<int>(Enc ? p[i] : p[17 - i]));
            const __m256i k1 = _mm256_set1_epi32(static_cast<int>(Enc ? p[i + 1] : p[16 - i]));
            for (int g = 0; g < G; ++g) {
                l[g] = _mm256_xor_si256(l[g], k0);
                r[g] = _mm256_xor_si256(r[g], F8(s, l[g]));
            }
            for (int g = 0; g < G; ++g) {
                r[g] = _mm256_xor_si256(r[g], k1);
                l[g] = _mm256_xor_si256(l[g], F8(s, r[g]));
            }
        }
        const __m256i kl = _mm256_set1_epi32(static_cast<int>(Enc ? p[16] : p[1]));
        const __m256i kr = _mm256_set1_epi32(static_cast<int>(Enc ? p[17] : p[0]));
        for (int g = 0; g < G; ++g) {
            const __m256 outL = _mm256_castsi256_ps(_mm256_xor_si256(r[g], kr));
            const __m256 outR = _mm256_castsi256_ps(_mm256_xor_si256(l[g], kl));
            _mm256_storeu_ps(reinterpret_cast<float*>(data + off + 64 * g),
                             _mm256_unpacklo_ps(outL, outR));
            _mm256_storeu_ps(reinterpret_cast<float*>(data + off + 64 * g + 32),
                             _mm256_unpackhi_ps(outL, outR));
        }
    }
    Ecb<Enc>(p, s, data + off, length - off);
}

template <bool Enc>
__attribute__((target("avx512f"))) void EcbAvx512(const std::uint32_t* p,
                                                  const std::uint32_t (*s)[256], std::uint8_t* data,
                                                  std::size_t length) {
    constexpr int G = 2; // register pairs in flight: 16 blocks each
    const __m512i evens =
        _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odds =
        _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    const __m512i lo = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i hi =
        _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    std::size_t off = 0;
    for (; off + 128 * G <= length; off += 128 * G) {
        __m512i l[G], r[G];
        for (int g = 0; g < G; ++g) {
            const __m512i v0 = _mm512_loadu_si512(data + off + 128 * g);
            const __m512i v1 = _mm512_loadu_si512(data + off + 128 * g + 64);
            l[g] = _mm512_permutex2var_epi32(v0, evens, v1);
            r[g] = _mm512_permutex2var_epi32(v0, odds, v1);
        }
        for (int i = 0; i < 16; i += 2) {
            const __m512i k0 = _mm512_set1_epi32(static_cast<int>(Enc ? p[i] : p[17 - i]));
            const __m512i k1 = _mm512_set1_epi32(static_cast<int>(Enc ? p[i + 1] : p[16 - i]));
            for (int g = 0; g < G; ++g) {
                l[g] = _mm512_xor_si512(l[g], k0);
                r[g] = _mm512_xor_si512(r[g], F16(s, l[g]));
            }
            for (int g = 0; g < G; ++g) {
                r[g] = _mm512_xor_si512(r[g], k1);
                l[g] = _mm512_xor_si512(l[g], F16(s, r[g]));
            }
        }
        const __m512i kl = _mm512_set1_epi32(static_cast<int>(Enc ? p[16] : p[1]));
        const __m512i kr = _mm512_set1_epi32(static_cast<int>(Enc ? p[17] : p[0]));
        for (int g = 0; g < G; ++g) {
            const __m512i outL = _mm512_xor_si512(r[g], kr);
            const __m512i outR = _mm512_xor_si512(l[g], kl);
            _mm512_storeu_si512(data + off + 128 * g, _mm512_permutex2var_epi32(outL, lo, outR));
            _mm512_storeu_si512(data + off + 128 * g + 64,
                                _mm512_permutex2var_epi32(outL, hi, outR));
        }
    }
    Ecb<Enc>(p, s, data + off, length - off);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

template <bool Enc>
void RunPath(CBlowfish::EcbPath path, const std::uint32_t* p, const std::uint32_t (*s)[256],
             std::uint8_t* data, std::size_t length) {
    switch (path) {
#ifdef ZKV_BLOWFISH_X86
    case CBlowfish::EcbPath::Avx2:
        return EcbAvx2<Enc>(p, s, data, length);
    case CBlowfish::EcbPath::Avx512:
        return EcbAvx512<Enc>(p, s, data, length);
#endif
    default:
        return Ecb<Enc>(p, s, data, length);
    }
}

CBlowfish::EcbPath TimeAndChoose() {
    const auto& paths = CBlowfish::SupportedPaths();
    if (paths.size() == 1)
        return paths.front();
    CBlowfish bf;
    const std::uint8_t key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bf.SetKey(key, sizeof key);
    std::vector<std::uint8_t> buf(16384, 0x5A);
    std::vector<std::int64_t> best(paths.size(), INT64_MAX);
    // Interleaved rounds, best of each: a burst of load elsewhere hits every path alike.
    for (int round = 0; round < 5; ++round) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            bf.EncryptEcb(paths[i], buf.data(), buf.size());
            const auto t1 = std::chrono::steady_clock::now();
            best[i] = std::min<std::int64_t>(best[i], (t1 - t0).count());
        }
    }
    std::size_t pick = 0;
    for (std::size_t i = 1; i < paths.size(); ++i)
        if (best[i] < best[pick])
            pick = i;
    return paths[pick];
}
} // namespace

const std::vector<CBlowfish::EcbPath>& CBlowfish::SupportedPaths() {
    static const std::vector<EcbPath> paths = [] {
        std::vector<EcbPath> v{EcbPath::Scalar};
#ifdef ZKV_BLOWFISH_X86
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2"))
            v.push_back(EcbPath::Avx2);
        if (__builtin_cpu_supports("avx512f"))
            v.push_back(EcbPath::Avx512);
#endif
        return v;
    }();
    return paths;
}

CBlowfish::EcbPath CBlowfish::ChosenPath() {
    static const EcbPath chosen = TimeAndChoose();
    return chosen;
}

const char* CBlowfish::PathName(EcbPath path) {
    switch (path) {
    case EcbPath::Scalar:
        return "scalar";
    case EcbPath::Avx2:
        return "avx2";
    case EcbPath::Avx512:
        return "avx512";
    }
    return "?";
}

void CBlowfish::EncryptEcb(EcbPath path, std::uint8_t* data, std::size_t length) const {
    RunPath<true>(path, p_, s_, data, length);
}

void CBlowfish::DecryptEcb(EcbPath path, std::uint8_t* data, std::size_t length) const {
    RunPath<false>(path, p_, s_, data, length);
}

void CBlowfish::EncryptEcb(std::uint8_t* data, std::size_t length) const {
    EncryptEcb(ChosenPath(), data, length);
}

void CBlowfish::DecryptEcb(std::uint8_t* data, std::size_t length) const {
    DecryptEcb(ChosenPath(), data, length);
}

} // namespace zkv
