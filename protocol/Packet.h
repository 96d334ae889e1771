// The packet: a fixed 53-byte header and a body that is a list of items.
//
// Header (little-endian, offsets from byte 0):
//   0 wire length   4 plain length   8 sender role   9 addressee role   10 kind
//   11 reserved(4)  15 sender id     19 partner id   23 delivery        27 destination id
//   31 magic "VVKZ" 35 flags         39 exchange id  43 reserved(8)     51 CRC-16/MCRF4XX
// Plain body: int32 item count, then items, each a 20-byte header and its data:
//   0 code   4 data length   8 flags   12 item echo   16 reserved
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace zkv {

inline constexpr std::size_t kHeaderSize = 53;
inline constexpr std::size_t kItemHeaderSize = 20;
inline constexpr std::uint32_t kPacketMagic = 0x5A4B5656; // "VVKZ" on the wire
inline constexpr std::uint32_t kPacketFlagAta = 0x08;     // body holds ATA device commands

inline constexpr std::uint32_t kItemFlagWantsReply = 0x01;

// A parsed list holds at most this many items: each costs a record in memory, several times
// its 20 bytes on the wire. No packet of the protocol comes near it (the ATA worker walks its
// batches without parsing them into a list).
inline constexpr std::size_t kMaxParsedItems = 65536;

// CRC-16/MCRF4XX (reflected 0x1021, init 0xFFFF, no final XOR).
std::uint16_t Crc16Mcrf4xx(std::span<const std::uint8_t> bytes, std::uint16_t crc = 0xFFFF);

#pragma pack(push, 1)
// The header exactly as it lies on the wire, for the layout checks below. Nothing is ever cast
// onto a buffer with it: PacketHeader::Encode/Decode move each field explicitly, little-endian.
struct PacketHeaderLayout {
    std::int32_t wireLength;
    std::int32_t plainLength;
    std::uint8_t senderRole;
    std::uint8_t addresseeRole;
    std::uint8_t kind;
    std::uint32_t reserved1;
    std::int32_t senderId;
    std::int32_t partnerId;
    std::int32_t delivery;
    std::int32_t destinationId;
    std::uint32_t magic;
    std::uint32_t flags;
    std::uint32_t exchangeId;
    std::uint64_t reserved2;
    std::uint16_t crc;
};

// The 20-byte item header as it travels.
struct ItemHeaderLayout {
    std::int32_t code;
    std::int32_t dataLength;
    std::uint32_t flags;
    std::uint32_t echo;
    std::uint32_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(PacketHeaderLayout) == kHeaderSize);
static_assert(offsetof(PacketHeaderLayout, plainLength) == 4);
static_assert(offsetof(PacketHeaderLayout, senderRole) == 8);
static_assert(offsetof(PacketHeaderLayout, kind) == 10);
static_assert(offsetof(PacketHeaderLayout, reserved1) == 11);
static_assert(offsetof(PacketHeaderLayout, senderId) == 15);
static_assert(offsetof(PacketHeaderLayout, partnerId) == 19);
static_assert(offsetof(PacketHeaderLayout, delivery) == 23);
static_assert(offsetof(PacketHeaderLayout, destinationId) == 27);
static_assert(offsetof(PacketHeaderLayout, magic) == 31);
static_assert(offsetof(PacketHeaderLayout, flags) == 35);
static_assert(offsetof(PacketHeaderLayout, exchangeId) == 39);
static_assert(offsetof(PacketHeaderLayout, reserved2) == 43);
static_assert(offsetof(PacketHeaderLayout, crc) == 51);
static_assert(sizeof(ItemHeaderLayout) == kItemHeaderSize);
static_assert(offsetof(ItemHeaderLayout, echo) == 12);

// The header fields in memory (naturally aligned, so they can be passed by reference).
struct PacketHeader {
    std::int32_t wireLength;
    std::int32_t plainLength;
    std::uint8_t senderRole;
    std::uint8_t addresseeRole;
    std::uint8_t kind;
    std::uint32_t reserved1;
    std::int32_t senderId;
    std::int32_t partnerId;
    std::int32_t delivery;
    std::int32_t destinationId;
    std::uint32_t magic;
    std::uint32_t flags;
    std::uint32_t exchangeId;
    std::uint64_t reserved2;
    std::uint16_t crc;

    void Encode(std::uint8_t* out) const;               // exactly kHeaderSize bytes
    static PacketHeader Decode(const std::uint8_t* in); // exactly kHeaderSize bytes
    // Sets magic and CRC, then encodes.
    void Seal(std::uint8_t* out);
};

// True when the 53 bytes carry the magic and their CRC over all 53 bytes is zero.
bool HeaderIsIntact(const std::uint8_t* raw);

// A packet in memory: the header and its owned body buffer. The buffer holds the plain body
// except while the packet is being sent or received, when it holds the encoded form.
struct PacketRecord {
    PacketHeader header{};
    std::vector<std::uint8_t> body;
};

// One command or reply. `data` points either at `storage` (an item made to be sent) or into
// the body of the packet the item was parsed from.
struct ItemRecord {
    std::int32_t code = 0;
    std::int32_t dataLength = 0;
    std::uint32_t flags = 0;
    std::uint32_t echo = 0;
    std::uint32_t reserved = 0;
    const std::uint8_t* data = nullptr;
    std::vector<std::uint8_t> storage;

    ItemRecord() = default;
    ItemRecord(std::int32_t c, std::uint32_t f = 0) : code(c), flags(f) {}
    ItemRecord(ItemRecord&&) noexcept = default;
    ItemRecord& operator=(ItemRecord&&) noexcept = default;
    ItemRecord(const ItemRecord&) = delete;
    ItemRecord& operator=(const ItemRecord&) = delete;

    // The item owns `bytes` from now on.
    void SetData(std::vector<std::uint8_t> bytes);
    std::span<const std::uint8_t> Data() const {
        return data && dataLength > 0
                   ? std::span<const std::uint8_t>(data, static_cast<std::size_t>(dataLength))
                   : std::span<const std::uint8_t>();
    }
    bool WantsReply() const { return (flags & kItemFlagWantsReply) != 0; }
};

// A list of items with a cursor, turned into a plain body and back.
//
// A converter built with AddItem owns its items and their data. A converter parsed from a packet
// owns only its item records; their data lives in the packet's body, so the packet must outlive
// the converter.
class PacketConverter {
public:
    PacketConverter() = default; // no list, status 1
    explicit PacketConverter(const PacketRecord& packet) { Parse(packet); }
    ~PacketConverter() { Clear(); }
    PacketConverter(const PacketConverter&) = delete;
    PacketConverter& operator=(const PacketConverter&) = delete;

    // Parses the packet's plain body. A body that is empty, or malformed in any way (truncated
    // item header, negative length, data past the end, more than kMaxParsedItems items),
    // leaves status 1 and no items.
    void Parse(const PacketRecord& packet);

    std::size_t Count() const { return items_.size(); }
    void AddItem(ItemRecord item);
    // The item at the cursor, advancing it; null once the list is exhausted.
    ItemRecord* NextItem();
    ItemRecord* Item(std::size_t i) { return i < items_.size() ? items_[i].get() : nullptr; }
    const ItemRecord* Item(std::size_t i) const {
        return i < items_.size() ? items_[i].get() : nullptr;
    }
    void Rewind() { cursor_ = 0; }
    void SetStatus(int s) { status_ = s; }
    int GetStatus() const { return status_; }
    bool HasList() const { return hasList_; }
    const PacketRecord* Source() const { return source_; }

    // Writes the plain body into a new buffer attached to the packet and sets its plain length.
    // Returns 1 without touching the packet when there is no list, else 0.
    int SerializeInto(PacketRecord& packet) const;
    // The plain body size this list serializes to.
    std::size_t SerializedSize() const;

    void Clear();

private:
    std::vector<std::unique_ptr<ItemRecord>> items_;
    bool hasList_ = false;
    const PacketRecord* source_ = nullptr;
    int status_ = 1;
    std::size_t cursor_ = 0;
};

} // namespace zkv
