#include "protocol/Packet.h"

#include "support/ByteOrder.h"

#include <limits>

namespace zkv {

std::uint16_t Crc16Mcrf4xx(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
    for (std::uint8_t b : bytes) {
        std::uint8_t x = static_cast<std::uint8_t>(b ^ (crc & 0xFF));
        x = static_cast<std::uint8_t>(x ^ (x << 4));
        crc = static_cast<std::uint16_t>(((x << 8) | (crc >> 8)) ^ (x >> 4) ^ (x << 3));
    }
    return crc;
}

void PacketHeader::Encode(std::uint8_t* p) const {
    PutI32(p + 0, wireLength);
    PutI32(p + 4, plainLength);
    PutU8(p + 8, senderRole);
    PutU8(p + 9, addresseeRole);
    PutU8(p + 10, kind);
    PutU32(p + 11, reserved1);
    PutI32(p + 15, senderId);
    PutI32(p + 19, partnerId);
    PutI32(p + 23, delivery);
    PutI32(p + 27, destinationId);
    PutU32(p + 31, magic);
    PutU32(p + 35, flags);
    PutU32(p + 39, exchangeId);
    PutU64(p + 43, reserved2);
    PutU16(p + 51, crc);
}

PacketHeader PacketHeader::Decode(const std::uint8_t* p) {
    PacketHeader h{};
    h.wireLength = GetI32(p + 0);
    h.plainLength = GetI32(p + 4);
    h.senderRole = GetU8(p + 8);
    h.addresseeRole = GetU8(p + 9);
    h.kind = GetU8(p + 10);
    h.reserved1 = GetU32(p + 11);
    h.senderId = GetI32(p + 15);
    h.partnerId = GetI32(p + 19);
    h.delivery = GetI32(p + 23);
    h.destinationId = GetI32(p + 27);
    h.magic = GetU32(p + 31);
    h.flags = GetU32(p + 35);
    h.exchangeId = GetU32(p + 39);
    h.reserved2 = GetU64(p + 43);
    h.crc = GetU16(p + 51);
    return h;
}

void PacketHeader::Seal(std::uint8_t* out) {
    magic = kPacketMagic;
    Encode(out);
    crc = Crc16Mcrf4xx(std::span<const std::uint8_t>(out, kHeaderSize - 2));
    PutU16(out + 51, crc);
}

bool HeaderIsIntact(const std::uint8_t* raw) {
    return GetU32(raw + 31) == kPacketMagic &&
           Crc16Mcrf4xx(std::span<const std::uint8_t>(raw, kHeaderSize)) == 0;
}

void ItemRecord::SetData(std::vector<std::uint8_t> bytes) {
    storage = std::move(bytes);
    dataLength = static_cast<std::int32_t>(storage.size());
    data = storage.empty() ? nullptr : storage.data();
}

void PacketConverter::Clear() {
    // Parsed items point into the source packet's body; dropping the records frees only them.
    items_.clear();
    hasList_ = false;
    source_ = nullptr;
    cursor_ = 0;
}

void PacketConverter::Parse(const PacketRecord& packet) {
    Clear();
    status_ = 1;
    std::int32_t plain = packet.header.plainLength;
    if (plain <= 0)
        return;
    // Never trust the header beyond the bytes really held.
    if (static_cast<std::size_t>(plain) > packet.body.size() || plain < 4)
        return;
    const std::uint8_t* base = packet.body.data();
    const std::size_t end = static_cast<std::size_t>(plain);
    std::vector<std::unique_ptr<ItemRecord>> parsed;
    std::size_t pos = 4; // the item count is not used for parsing
    while (pos < end) {
        if (end - pos < kItemHeaderSize)
            return; // truncated item header
        if (parsed.size() == kMaxParsedItems)
            return; // more items than a list may hold
        auto item = std::make_unique<ItemRecord>();
        const std::uint8_t* h = base + pos;
        item->code = GetI32(h + 0);
        item->dataLength = GetI32(h + 4);
        item->flags = GetU32(h + 8);
        item->echo = GetU32(h + 12);
        item->reserved = GetU32(h + 16);
        pos += kItemHeaderSize;
        if (item->dataLength < 0 || static_cast<std::size_t>(item->dataLength) > end - pos)
            return; // data past the end of the body
        item->data = item->dataLength ? base + pos : nullptr;
        pos += static_cast<std::size_t>(item->dataLength);
        parsed.push_back(std::move(item));
    }
    items_ = std::move(parsed);
    hasList_ = true;
    source_ = &packet;
    cursor_ = 0;
    status_ = 0;
}

void PacketConverter::AddItem(ItemRecord item) {
    items_.push_back(std::make_unique<ItemRecord>(std::move(item)));
    hasList_ = true;
}

ItemRecord* PacketConverter::NextItem() {
    if (cursor_ >= items_.size())
        return nullptr;
    return items_[cursor_++].get();
}

std::size_t PacketConverter::SerializedSize() const {
    std::size_t size = 4;
    for (const auto& item : items_)
        size += kItemHeaderSize + static_cast<std::size_t>(item->Data().size());
    return size;
}

int PacketConverter::SerializeInto(PacketRecord& packet) const {
    if (!hasList_)
        return 1;
    std::vector<std::uint8_t> body(SerializedSize());
    std::uint8_t* p = body.data();
    PutI32(p, static_cast<std::int32_t>(items_.size()));
    p += 4;
    for (const auto& item : items_) {
        auto data = item->Data();
        PutI32(p + 0, item->code);
        PutI32(p + 4, static_cast<std::int32_t>(data.size()));
        PutU32(p + 8, item->flags);
        PutU32(p + 12, item->echo);
        PutU32(p + 16, item->reserved);
        p += kItemHeaderSize;
        if (!data.empty())
            std::memcpy(p, data.data(), data.size());
        p += data.size();
    }
    packet.header.plainLength = static_cast<std::int32_t>(body.size());
    packet.body = std::move(body);
    return 0;
}

} // namespace zkv
