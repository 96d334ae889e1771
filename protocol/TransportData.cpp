#include "protocol/TransportData.h"

#include "protocol/Pack.h"

namespace zkv {

const char* DecodeResultText(DecodeResult r) {
    switch (r) {
    case DecodeResult::Ok:
        return "ok";
    case DecodeResult::BadLength:
        return "wire length is not a positive multiple of 8 within bounds";
    case DecodeResult::BadPlainLength:
        return "plain length is out of bounds";
    case DecodeResult::CipherUnusable:
        return "cipher is unusable";
    case DecodeResult::InflateFailed:
        return "body does not inflate";
    case DecodeResult::SizeMismatch:
        return "inflated size differs from the plain length";
    }
    return "unknown";
}

TransportData::TransportData() {
    UseBuiltinKey();
}

TransportData& TransportData::Global() {
    static TransportData instance;
    return instance;
}

bool TransportData::SetKey(const std::uint8_t* key, std::size_t length) {
    std::lock_guard g(keyLock_);
    unusable_ = !cipher_.SetKey(key, length);
    return !unusable_;
}

bool TransportData::UseKey(const Key& key) {
    workingKey_ = key;
    return SetKey(workingKey_.data(), workingKey_.size());
}

bool TransportData::Encode(PacketRecord& packet) const {
    std::lock_guard g(keyLock_);
    if (unusable_ || packet.body.size() > static_cast<std::size_t>(kMaxPlainLength))
        return false;
    std::vector<std::uint8_t> z;
    if (!CPack::Compress(packet.body, z))
        return false;
    std::size_t blocks = (z.size() + 7) / 8;
    if (blocks * 8 > static_cast<std::size_t>(kMaxWireLength))
        return false;
    z.resize(blocks * 8, 0); // zero padding up to whole blocks
    cipher_.EncryptEcb(z.data(), z.size());
    packet.header.wireLength = static_cast<std::int32_t>(z.size());
    packet.body = std::move(z);
    return true;
}

DecodeResult TransportData::Decode(PacketRecord& packet) const {
    const std::int32_t wire = packet.header.wireLength;
    const std::int32_t plain = packet.header.plainLength;
    DecodeResult result = DecodeResult::Ok;
    if (wire <= 0 || wire % 8 != 0 || wire > kMaxWireLength ||
        static_cast<std::size_t>(wire) > packet.body.size())
        result = DecodeResult::BadLength;
    else if (plain <= 0 || plain > kMaxPlainLength)
        result = DecodeResult::BadPlainLength;
    else if (unusable_)
        result = DecodeResult::CipherUnusable;
    if (result != DecodeResult::Ok) {
        packet.body.clear();
        return result;
    }
    // The packet owns its ciphertext, so it is decrypted where it lies.
    cipher_.DecryptEcb(packet.body.data(), static_cast<std::size_t>(wire));
    std::vector<std::uint8_t> out;
    switch (CPack::Decompress(
        std::span<const std::uint8_t>(packet.body.data(), static_cast<std::size_t>(wire)),
        static_cast<std::size_t>(plain), out)) {
    case CPack::InflateResult::Ok:
        break;
    case CPack::InflateResult::TooLarge:
        packet.body.clear();
        return DecodeResult::SizeMismatch;
    case CPack::InflateResult::Corrupt:
        packet.body.clear();
        return DecodeResult::InflateFailed;
    }
    if (out.size() != static_cast<std::size_t>(plain)) {
        packet.body.clear();
        return DecodeResult::SizeMismatch;
    }
    packet.body = std::move(out);
    return DecodeResult::Ok;
}

} // namespace zkv
