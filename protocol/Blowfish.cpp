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

void CBlowfish::EncryptEcb(std::uint8_t* data, std::size_t length) const {
    for (std::size_t off = 0; off + 8 <= length; off += 8) {
        std::uint32_t l = GetU32(data + off), r = GetU32(data + off + 4);
        Encrypt(l, r);
        PutU32(data + off, l);
        PutU32(data + off + 4, r);
    }
}

void CBlowfish::DecryptEcb(std::uint8_t* data, std::size_t length) const {
    for (std::size_t off = 0; off + 8 <= length; off += 8) {
        std::uint32_t l = GetU32(data + off), r = GetU32(data + off + 4);
        Decrypt(l, r);
        PutU32(data + off, l);
        PutU32(data + off + 4, r);
    }
}

} // namespace zkv
