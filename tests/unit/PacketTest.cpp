#include "protocol/Packet.h"
#include "support/ByteOrder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zkv {
namespace {

PacketHeader SampleHeader() {
    PacketHeader h{};
    h.wireLength = 0x01020304;
    h.plainLength = -5;
    h.senderRole = 2;
    h.addresseeRole = 5;
    h.kind = 1;
    h.reserved1 = 0xA1B2C3D4;
    h.senderId = 77;
    h.partnerId = -3;
    h.delivery = 1;
    h.destinationId = 0x7FFFFFFF;
    h.flags = 0x08;
    h.exchangeId = 0xDEADBEEF;
    return h;
}

TEST(Crc16, CheckValueAndZeroOverIntactHeader) {
    const std::string digits = "123456789";
    EXPECT_EQ(Crc16Mcrf4xx({reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}),
              0x6F91);

    std::uint8_t raw[kHeaderSize];
    PacketHeader h = SampleHeader();
    h.Seal(raw);
    EXPECT_EQ(Crc16Mcrf4xx({raw, kHeaderSize}), 0);
    EXPECT_TRUE(HeaderIsIntact(raw));
}

TEST(PacketHeader, EncodesEveryFieldAtItsOffsetLittleEndian) {
    std::uint8_t raw[kHeaderSize];
    PacketHeader h = SampleHeader();
    h.Seal(raw);
    EXPECT_EQ(GetI32(raw + 0), 0x01020304);
    EXPECT_EQ(raw[0], 0x04);
    EXPECT_EQ(GetI32(raw + 4), -5);
    EXPECT_EQ(raw[8], 2);
    EXPECT_EQ(raw[9], 5);
    EXPECT_EQ(raw[10], 1);
    EXPECT_EQ(GetU32(raw + 11), 0xA1B2C3D4u);
    EXPECT_EQ(GetI32(raw + 15), 77);
    EXPECT_EQ(GetI32(raw + 19), -3);
    EXPECT_EQ(GetI32(raw + 23), 1);
    EXPECT_EQ(GetI32(raw + 27), 0x7FFFFFFF);
    EXPECT_EQ(std::memcmp(raw + 31, "VVKZ", 4), 0);
    EXPECT_EQ(GetU32(raw + 35), 0x08u);
    EXPECT_EQ(GetU32(raw + 39), 0xDEADBEEFu);
    for (int i = 43; i < 51; ++i)
        EXPECT_EQ(raw[i], 0) << i;

    PacketHeader back = PacketHeader::Decode(raw);
    EXPECT_EQ(back.exchangeId, h.exchangeId);
    EXPECT_EQ(back.partnerId, h.partnerId);
    EXPECT_EQ(back.crc, h.crc);
}

TEST(PacketHeader, AnyFlippedBitBreaksTheCheck) {
    std::uint8_t raw[kHeaderSize];
    PacketHeader h = SampleHeader();
    h.Seal(raw);
    for (std::size_t bit = 0; bit < kHeaderSize * 8; ++bit) {
        std::uint8_t copy[kHeaderSize];
        std::memcpy(copy, raw, kHeaderSize);
        copy[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(HeaderIsIntact(copy)) << "bit " << bit;
    }
}

TEST(PacketHeader, WrongMagicIsRejectedEvenWithRightCrc) {
    std::uint8_t raw[kHeaderSize];
    PacketHeader h = SampleHeader();
    h.Seal(raw);
    std::memcpy(raw + 31, "VVKY", 4);
    PutU16(raw + 51, Crc16Mcrf4xx({raw, kHeaderSize - 2}));
    EXPECT_EQ(Crc16Mcrf4xx({raw, kHeaderSize}), 0);
    EXPECT_FALSE(HeaderIsIntact(raw));
}

ItemRecord MakeItem(std::int32_t code, std::size_t len, std::uint8_t fill,
                    std::uint32_t flags = 0) {
    ItemRecord item(code, flags);
    item.SetData(std::vector<std::uint8_t>(len, fill));
    return item;
}

TEST(PacketConverter, SerializesInListOrderAndParsesBack) {
    PacketConverter one;
    one.AddItem(MakeItem(5, 0, 0));
    PacketRecord p1;
    ASSERT_EQ(one.SerializeInto(p1), 0);
    EXPECT_EQ(p1.header.plainLength, 24);
    PacketConverter parsedOne(p1);
    ASSERT_EQ(parsedOne.GetStatus(), 0);
    ASSERT_EQ(parsedOne.Count(), 1u);
    EXPECT_EQ(parsedOne.Item(0)->data, nullptr);

    PacketConverter three;
    three.AddItem(MakeItem(1, 5, 0xA1, 1));
    three.AddItem(MakeItem(2, 0, 0));
    three.AddItem(MakeItem(3, 7, 0xC3));
    PacketRecord p;
    ASSERT_EQ(three.SerializeInto(p), 0);
    EXPECT_EQ(p.header.plainLength, 76);
    EXPECT_EQ(GetI32(p.body.data()), 3);
    PacketConverter parsed(p);
    ASSERT_EQ(parsed.GetStatus(), 0);
    ASSERT_EQ(parsed.Count(), 3u);
    EXPECT_EQ(parsed.Source(), &p);
    const ItemRecord* a = parsed.NextItem();
    const ItemRecord* b = parsed.NextItem();
    const ItemRecord* c = parsed.NextItem();
    EXPECT_EQ(parsed.NextItem(), nullptr);
    EXPECT_EQ(a->code, 1);
    EXPECT_EQ(a->flags, 1u);
    EXPECT_EQ(a->Data().size(), 5u);
    EXPECT_EQ(a->data, p.body.data() + 4 + 20); // borrowed from the packet's body
    EXPECT_EQ(b->dataLength, 0);
    EXPECT_EQ(c->code, 3);
    EXPECT_EQ(c->Data()[6], 0xC3);
}

TEST(PacketConverter, EmptyConverterYieldsNoBody) {
    PacketConverter empty;
    EXPECT_EQ(empty.GetStatus(), 1);
    PacketRecord p;
    EXPECT_EQ(empty.SerializeInto(p), 1);
    EXPECT_TRUE(p.body.empty());
    EXPECT_EQ(p.header.plainLength, 0);

    PacketConverter zero(p);
    EXPECT_EQ(zero.GetStatus(), 1);
    EXPECT_EQ(zero.Count(), 0u);
}

// Builds a body by hand so that its lengths can lie.
PacketRecord RawBody(std::vector<std::uint8_t> body, std::int32_t plain = -1) {
    PacketRecord p;
    p.header.plainLength = plain >= 0 ? plain : static_cast<std::int32_t>(body.size());
    p.body = std::move(body);
    return p;
}

std::vector<std::uint8_t> ItemBytes(std::int32_t code, std::int32_t len, std::size_t actual) {
    std::vector<std::uint8_t> b(20 + actual, 0x5A);
    PutI32(b.data(), code);
    PutI32(b.data() + 4, len);
    return b;
}

TEST(PacketConverter, MalformedBodiesAreRejectedWhole) {
    auto withItems = [](std::vector<std::vector<std::uint8_t>> items) {
        std::vector<std::uint8_t> body(4, 0);
        for (auto& i : items)
            body.insert(body.end(), i.begin(), i.end());
        return body;
    };
    struct Case {
        const char* what;
        PacketRecord packet;
    };
    std::vector<Case> cases;
    cases.push_back({"truncated item header", RawBody(withItems({ItemBytes(1, 0, 0)}))});
    cases.back().packet.body.resize(4 + 19);
    cases.back().packet.header.plainLength = 23;
    cases.push_back({"negative data length", RawBody(withItems({ItemBytes(1, -8, 0)}))});
    cases.push_back({"data past the end", RawBody(withItems({ItemBytes(1, 9, 8)}))});
    cases.push_back(
        {"second item runs past", RawBody(withItems({ItemBytes(1, 2, 2), ItemBytes(2, 100, 3)}))});
    cases.push_back(
        {"plain length beyond the buffer", RawBody(withItems({ItemBytes(1, 0, 0)}), 400)});
    cases.push_back({"body shorter than the count", RawBody({1, 0}, 2)});
    cases.push_back({"huge length", RawBody(withItems({ItemBytes(1, 0x7FFFFFF0, 4)}))});
    cases.push_back({"more items than a list holds",
                     RawBody(std::vector<std::uint8_t>(4 + (kMaxParsedItems + 1) * 20, 0))});
    for (auto& c : cases) {
        PacketConverter conv(c.packet);
        EXPECT_EQ(conv.GetStatus(), 1) << c.what;
        EXPECT_EQ(conv.Count(), 0u) << c.what;
        EXPECT_EQ(conv.NextItem(), nullptr) << c.what;
    }

    // A well-formed body whose count field lies still parses by the lengths.
    auto good = withItems({ItemBytes(1, 2, 2), ItemBytes(2, 0, 0)});
    PutI32(good.data(), 9);
    PacketRecord p = RawBody(good);
    PacketConverter conv(p);
    EXPECT_EQ(conv.GetStatus(), 0);
    EXPECT_EQ(conv.Count(), 2u);
    PacketRecord full = RawBody(std::vector<std::uint8_t>(4 + kMaxParsedItems * 20, 0));
    EXPECT_EQ(PacketConverter(full).Count(), kMaxParsedItems);
}

} // namespace
} // namespace zkv
