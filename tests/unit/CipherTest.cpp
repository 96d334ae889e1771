#include "protocol/Blowfish.h"
#include "protocol/Pack.h"
#include "protocol/TransportData.h"
#include "support/ByteOrder.h"

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace zkv {
namespace {

// Reverses the bytes of each 4-byte half: this wire reads the halves little-endian, the
// reference library big-endian.
void SwapHalves(std::uint8_t* b) {
    std::reverse(b, b + 4);
    std::reverse(b + 4, b + 8);
}

TEST(Blowfish, MatchesReferenceLibraryOnRandomKeysAndBlocks) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 300; ++round) {
        std::size_t keyLen = 1 + rng() % 56;
        std::vector<std::uint8_t> key(keyLen);
        for (auto& k : key)
            k = static_cast<std::uint8_t>(rng());
        CBlowfish ours;
        ASSERT_TRUE(ours.SetKey(key.data(), key.size()));
        BF_KEY ref;
        BF_set_key(&ref, static_cast<int>(keyLen), key.data());
        for (int b = 0; b < 8; ++b) {
            std::uint8_t block[8];
            for (auto& x : block)
                x = static_cast<std::uint8_t>(rng());
            std::uint8_t mine[8];
            std::memcpy(mine, block, 8);
            ours.EncryptEcb(mine, 8);

            std::uint8_t theirs[8];
            std::memcpy(theirs, block, 8);
            SwapHalves(theirs);
            BF_ecb_encrypt(theirs, theirs, &ref, BF_ENCRYPT);
            SwapHalves(theirs);
            ASSERT_EQ(std::memcmp(mine, theirs, 8), 0) << "key length " << keyLen;

            ours.DecryptEcb(mine, 8);
            ASSERT_EQ(std::memcmp(mine, block, 8), 0);
        }
    }
}

// Every ECB path this processor runs gives the bytes of the plain one-block cipher, over lengths
// that leave tails after the wide chunks; decryption on the same path restores the data.
TEST(Blowfish, EveryEcbPathMatchesTheOneBlockCipher) {
    std::mt19937 rng(20261210);
    for (CBlowfish::EcbPath path : CBlowfish::SupportedPaths()) {
        for (int round = 0; round < 40; ++round) {
            std::vector<std::uint8_t> key(1 + rng() % 56);
            for (auto& k : key)
                k = static_cast<std::uint8_t>(rng());
            CBlowfish bf;
            ASSERT_TRUE(bf.SetKey(key.data(), key.size()));
            std::vector<std::uint8_t> data(8 * (1 + rng() % 200));
            for (auto& x : data)
                x = static_cast<std::uint8_t>(rng());
            std::vector<std::uint8_t> expect = data;
            for (std::size_t at = 0; at < expect.size(); at += 8) {
                std::uint32_t l = GetU32(&expect[at]), r = GetU32(&expect[at + 4]);
                bf.Encrypt(l, r);
                PutU32(&expect[at], l);
                PutU32(&expect[at + 4], r);
            }
            std::vector<std::uint8_t> mine = data;
            bf.EncryptEcb(path, mine.data(), mine.size());
            ASSERT_EQ(mine, expect) << CBlowfish::PathName(path) << ", " << data.size() << " bytes";
            bf.DecryptEcb(path, mine.data(), mine.size());
            ASSERT_EQ(mine, data) << CBlowfish::PathName(path);
        }
    }
}

TEST(Blowfish, RefusesBadKeys) {
    CBlowfish bf;
    std::uint8_t key[57] = {};
    EXPECT_FALSE(bf.SetKey(key, 57));
    EXPECT_FALSE(bf.SetKey(nullptr, 8));
    EXPECT_FALSE(bf.SetKey(key, 0));
    EXPECT_TRUE(bf.SetKey(key, 56));
}

TEST(Blowfish, EcbEncryptsEqualBlocksEqually) {
    TransportData t;
    CBlowfish bf;
    ASSERT_TRUE(bf.SetKey(kBuiltinKey.data(), kBuiltinKey.size()));
    std::uint8_t data[24];
    for (int i = 0; i < 8; ++i)
        data[i] = data[16 + i] = static_cast<std::uint8_t>(i * 31);
    std::memset(data + 8, 0xEE, 8);
    bf.EncryptEcb(data, sizeof data);
    EXPECT_EQ(std::memcmp(data, data + 16, 8), 0);
    EXPECT_NE(std::memcmp(data, data + 8, 8), 0);
}

std::vector<std::uint8_t> Body(std::size_t n, bool compressible, std::mt19937& rng) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = compressible ? static_cast<std::uint8_t>((i / 64) % 7)
                            : static_cast<std::uint8_t>(rng());
    return b;
}

TEST(TransportData, RoundTripsBodiesFrom24BytesTo1MiB) {
    TransportData t;
    std::mt19937 rng(7);
    for (std::size_t n : {24u, 25u, 100u, 4096u, 65536u, 300001u, 1u << 20}) {
        for (bool compressible : {true, false}) {
            auto plain = Body(n, compressible, rng);
            PacketRecord p;
            p.body = plain;
            p.header.plainLength = static_cast<std::int32_t>(n);
            ASSERT_TRUE(t.Encode(p));
            EXPECT_EQ(p.header.wireLength % 8, 0);
            EXPECT_EQ(static_cast<std::size_t>(p.header.wireLength), p.body.size());
            if (compressible) {
                EXPECT_LT(p.body.size(), n / 4 + 64);
            }
            ASSERT_EQ(t.Decode(p), DecodeResult::Ok) << n;
            EXPECT_EQ(p.body, plain) << n;
        }
    }
}

TEST(TransportData, EncodedBodyIsAZlibLevel9StreamPaddedWithZeros) {
    TransportData t;
    std::vector<std::uint8_t> plain(24, 0);
    plain[0] = 1;
    PacketRecord p;
    p.body = plain;
    p.header.plainLength = 24;
    ASSERT_TRUE(t.Encode(p));
    CBlowfish bf;
    bf.SetKey(kBuiltinKey.data(), kBuiltinKey.size());
    bf.DecryptEcb(p.body.data(), p.body.size());

    std::vector<std::uint8_t> ref(compressBound(24));
    uLongf refLen = ref.size();
    ASSERT_EQ(compress2(ref.data(), &refLen, plain.data(), plain.size(), 9), Z_OK);
    ASSERT_EQ(p.body.size(), (refLen + 7) / 8 * 8);
    EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + static_cast<long>(refLen), p.body.begin()));
    EXPECT_TRUE(std::all_of(p.body.begin() + static_cast<long>(refLen), p.body.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST(TransportData, UnusableBodiesAreReportedAndCleared) {
    TransportData sender;
    Key other{};
    other[0] = 1;
    std::mt19937 rng(3);
    auto plain = Body(5000, true, rng);

    PacketRecord p;
    p.body = plain;
    p.header.plainLength = 5000;
    ASSERT_TRUE(sender.Encode(p));
    const auto encoded = p;

    TransportData receiver;
    receiver.UseKey(other);
    PacketRecord wrongKey = {encoded.header, encoded.body};
    EXPECT_EQ(receiver.Decode(wrongKey), DecodeResult::InflateFailed);
    EXPECT_TRUE(wrongKey.body.empty());

    PacketRecord shortPlain = {encoded.header, encoded.body};
    shortPlain.header.plainLength = 4999;
    EXPECT_EQ(sender.Decode(shortPlain), DecodeResult::SizeMismatch);
    PacketRecord longPlain = {encoded.header, encoded.body};
    longPlain.header.plainLength = 5001;
    EXPECT_EQ(sender.Decode(longPlain), DecodeResult::SizeMismatch);

    PacketRecord notMultiple = {encoded.header, encoded.body};
    notMultiple.header.wireLength -= 3;
    EXPECT_EQ(sender.Decode(notMultiple), DecodeResult::BadLength);
    PacketRecord pastBuffer = {encoded.header, encoded.body};
    pastBuffer.header.wireLength += 8;
    EXPECT_EQ(sender.Decode(pastBuffer), DecodeResult::BadLength);
    PacketRecord cut = {encoded.header, encoded.body};
    cut.header.wireLength -= 8;
    EXPECT_EQ(sender.Decode(cut), DecodeResult::InflateFailed);
    PacketRecord noPlain = {encoded.header, encoded.body};
    noPlain.header.plainLength = 0;
    EXPECT_EQ(sender.Decode(noPlain), DecodeResult::BadPlainLength);

    PacketRecord good = {encoded.header, encoded.body};
    EXPECT_EQ(sender.Decode(good), DecodeResult::Ok);
    EXPECT_EQ(good.body, plain);
}

TEST(TransportData, KeyChangesAndReturnToBuiltinKey) {
    TransportData t;
    std::vector<std::uint8_t> plain(24, 0x11);
    auto encodeWith = [&](TransportData& td) {
        PacketRecord p;
        p.body = plain;
        p.header.plainLength = 24;
        EXPECT_TRUE(td.Encode(p));
        return p.body;
    };
    const auto builtin = encodeWith(t);
    Key session;
    for (std::size_t i = 0; i < session.size(); ++i)
        session[i] = static_cast<std::uint8_t>(0x80 + i);
    ASSERT_TRUE(t.UseKey(session));
    EXPECT_EQ(t.WorkingKey(), session);
    const auto withSession = encodeWith(t);
    EXPECT_NE(withSession, builtin);
    ASSERT_TRUE(t.UseBuiltinKey());
    EXPECT_EQ(encodeWith(t), builtin);
    EXPECT_EQ(t.WorkingKey(), kBuiltinKey);

    // A failed key schedule marks the cipher unusable: nothing is encoded or decoded with it.
    EXPECT_FALSE(t.SetKey(nullptr, 56));
    EXPECT_TRUE(t.CipherUnusable());
    PacketRecord p;
    p.body = plain;
    p.header.plainLength = 24;
    EXPECT_FALSE(t.Encode(p));
    EXPECT_EQ(p.body, plain);
    ASSERT_TRUE(t.UseBuiltinKey());
    EXPECT_FALSE(t.CipherUnusable());
}

TEST(Pack, EachBodyIsZlibsLevel9StreamWhetherOrNotTheSenderReadiedTheStateBefore) {
    auto level9 = [](const std::vector<std::uint8_t>& in) {
        std::vector<std::uint8_t> ref(compressBound(in.size()));
        uLongf n = ref.size();
        EXPECT_EQ(compress2(ref.data(), &n, in.data(), in.size(), 9), Z_OK);
        ref.resize(n);
        return ref;
    };
    std::mt19937 rng(21);
    std::vector<std::uint8_t> first(150000), second(3000);
    for (std::size_t i = 0; i < first.size(); ++i)
        first[i] = static_cast<std::uint8_t>(i % 579 < 47 ? rng() : i / 512);
    for (auto& b : second)
        b = static_cast<std::uint8_t>(rng() % 7);
    std::vector<std::uint8_t> z;
    ASSERT_TRUE(CPack::Compress(first, z));
    EXPECT_EQ(z, level9(first));
    ASSERT_TRUE(CPack::Compress(second, z)); // right behind the first
    EXPECT_EQ(z, level9(second));
    CPack::PrepareNextCompress();
    CPack::PrepareNextCompress(); // twice is once
    ASSERT_TRUE(CPack::Compress(first, z));
    EXPECT_EQ(z, level9(first));
}

TEST(Pack, InflationIsBoundedByTheLimit) {
    std::vector<std::uint8_t> zeros(1 << 20, 0), z, out;
    ASSERT_TRUE(CPack::Compress(zeros, z));
    EXPECT_LT(z.size(), 2000u);
    EXPECT_EQ(CPack::Decompress(z, 1000, out), CPack::InflateResult::TooLarge);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(CPack::Decompress(z, zeros.size(), out), CPack::InflateResult::Ok);
    EXPECT_EQ(out.size(), zeros.size());
    std::vector<std::uint8_t> garbage(64, 0x42);
    EXPECT_EQ(CPack::Decompress(garbage, 100, out), CPack::InflateResult::Corrupt);
    EXPECT_EQ(CPack::Decompress({}, 100, out), CPack::InflateResult::Corrupt);
}

} // namespace
} // namespace zkv
