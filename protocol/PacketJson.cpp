#include "protocol/PacketJson.h"

#include "protocol/Vocabulary.h"
#include "support/ByteOrder.h"

#include <limits>

namespace zkv {

Json HeaderToJson(const PacketHeader& h) {
    Json j;
    // Each field is copied out (unary +): a reference to a packed field may be misaligned.
    j["wire_length"] = +h.wireLength;
    j["plain_length"] = +h.plainLength;
    j["sender_role"] = +h.senderRole;
    j["addressee_role"] = +h.addresseeRole;
    j["kind"] = +h.kind;
    j["reserved"] = +h.reserved1;
    j["sender_id"] = +h.senderId;
    j["partner_id"] = +h.partnerId;
    j["delivery"] = +h.delivery;
    j["destination_id"] = +h.destinationId;
    j["flags"] = +h.flags;
    j["exchange_id"] = +h.exchangeId;
    return j;
}

Json ItemToJson(const ItemRecord& item, std::uint8_t kind) {
    Json j;
    j["code"] = item.code;
    j["name"] = kind == REPLY_PACKET ? ReplyStatusName(item.code) : CommandName(item.code);
    j["data_length"] = item.dataLength;
    j["flags"] = item.flags;
    j["echo"] = item.echo;
    j["reserved"] = item.reserved;
    j["data"] = ToHex(item.Data());
    return j;
}

Json WireEventToJson(const WireEvent& ev) {
    Json j;
    j["offset"] = ev.offset;
    switch (ev.type) {
    case WireEvent::Type::Packet: {
        j["header"] = HeaderToJson(ev.packet.header);
        Json items = Json::array();
        PacketConverter list(ev.packet);
        while (const ItemRecord* item = list.NextItem())
            items.push_back(ItemToJson(*item, ev.packet.header.kind));
        j["items"] = std::move(items);
        break;
    }
    case WireEvent::Type::Keepalive:
        j["keepalive"] = true;
        j["header"] = HeaderToJson(ev.packet.header);
        break;
    case WireEvent::Type::BadHeader:
        j["bad_header"] = true;
        break;
    case WireEvent::Type::BadBody:
        j["header"] = HeaderToJson(ev.packet.header);
        j["error"] = ev.error;
        break;
    case WireEvent::Type::Truncated:
        j["truncated"] = true;
        break;
    }
    return j;
}

namespace {

// Reads an integer field that must fit the wire field's range; absent fields are 0.
template <class T> bool Field(const Json& obj, const char* name, T& out, std::string& error) {
    out = 0;
    if (!obj.contains(name))
        return true;
    const Json& v = obj.at(name);
    if (!v.is_number_integer()) {
        error = std::string("\"") + name + "\" must be an integer";
        return false;
    }
    bool fits;
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        fits = u <= static_cast<std::uint64_t>(std::numeric_limits<T>::max());
        out = static_cast<T>(u);
    } else {
        auto s = v.get<std::int64_t>();
        fits = s >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
               (s < 0 || static_cast<std::uint64_t>(s) <=
                             static_cast<std::uint64_t>(std::numeric_limits<T>::max()));
        out = static_cast<T>(s);
    }
    if (!fits)
        error = std::string("\"") + name + "\" is out of range";
    return fits;
}

// 32-bit fields that are unsigned on the wire also accept negative numbers as their two's
// complement, so values written by either convention round-trip.
bool Field32(const Json& obj, const char* name, std::uint32_t& out, std::string& error) {
    std::int64_t wide = 0;
    out = 0;
    if (!obj.contains(name))
        return true;
    const Json& v = obj.at(name);
    if (v.is_number_unsigned() && v.get<std::uint64_t>() <= 0xFFFFFFFFull) {
        out = static_cast<std::uint32_t>(v.get<std::uint64_t>());
        return true;
    }
    if (!Field(obj, name, wide, error))
        return false;
    if (wide < std::numeric_limits<std::int32_t>::min() || wide > 0xFFFFFFFFll) {
        error = std::string("\"") + name + "\" is out of range";
        return false;
    }
    out = static_cast<std::uint32_t>(wide);
    return true;
}

bool FieldI32(const Json& obj, const char* name, std::int32_t& out, std::string& error) {
    std::uint32_t u;
    if (!Field32(obj, name, u, error))
        return false;
    out = static_cast<std::int32_t>(u);
    return true;
}

} // namespace

bool PacketFromJson(const Json& line, PacketRecord& packet, bool& keepalive, std::string& error) {
    packet = PacketRecord{};
    keepalive = false;
    if (!line.is_object()) {
        error = "a line must be a JSON object";
        return false;
    }
    for (const char* notPacket : {"bad_header", "truncated", "error"}) {
        if (line.contains(notPacket)) {
            error = std::string("a \"") + notPacket + "\" line describes no packet to write";
            return false;
        }
    }
    if (line.contains("keepalive")) {
        if (!line.at("keepalive").is_boolean()) {
            error = "\"keepalive\" must be true or false";
            return false;
        }
        keepalive = line.at("keepalive").get<bool>();
    }
    Json header = line.value("header", Json::object());
    if (!header.is_object()) {
        error = "\"header\" must be an object";
        return false;
    }
    PacketHeader& h = packet.header;
    // Read into aligned locals: a reference to a packed header field may be misaligned.
    std::uint8_t senderRole, addresseeRole, kind;
    std::uint32_t reserved1, flags, exchangeId;
    std::int32_t senderId, partnerId, delivery, destinationId;
    if (!Field(header, "sender_role", senderRole, error) ||
        !Field(header, "addressee_role", addresseeRole, error) ||
        !Field(header, "kind", kind, error) || !Field32(header, "reserved", reserved1, error) ||
        !FieldI32(header, "sender_id", senderId, error) ||
        !FieldI32(header, "partner_id", partnerId, error) ||
        !FieldI32(header, "delivery", delivery, error) ||
        !FieldI32(header, "destination_id", destinationId, error) ||
        !Field32(header, "flags", flags, error) ||
        !Field32(header, "exchange_id", exchangeId, error))
        return false;
    h.senderRole = senderRole;
    h.addresseeRole = addresseeRole;
    h.kind = kind;
    h.reserved1 = reserved1;
    h.senderId = senderId;
    h.partnerId = partnerId;
    h.delivery = delivery;
    h.destinationId = destinationId;
    h.flags = flags;
    h.exchangeId = exchangeId;
    if (keepalive)
        return true;

    Json items = line.value("items", Json::array());
    if (!items.is_array()) {
        error = "\"items\" must be an array";
        return false;
    }
    PacketConverter list;
    list.SetStatus(0);
    std::vector<std::uint8_t> countOnly;
    for (const Json& it : items) {
        if (!it.is_object()) {
            error = "an item must be an object";
            return false;
        }
        ItemRecord item;
        if (!FieldI32(it, "code", item.code, error) || !Field32(it, "flags", item.flags, error) ||
            !Field32(it, "echo", item.echo, error) ||
            !Field32(it, "reserved", item.reserved, error))
            return false;
        std::vector<std::uint8_t> data;
        if (it.contains("data")) {
            if (!it.at("data").is_string() || !FromHex(it.at("data").get<std::string>(), data)) {
                error = "\"data\" must be a string of hex digit pairs";
                return false;
            }
        }
        item.SetData(std::move(data));
        list.AddItem(std::move(item));
    }
    if (list.Count() == 0) {
        // An explicit empty list still travels as a body holding the count 0.
        packet.body.assign(4, 0);
        h.plainLength = 4;
    } else {
        list.SerializeInto(packet);
    }
    return true;
}

bool EncodeJsonPacket(const Json& line, const TransportData& transport,
                      std::vector<std::uint8_t>& out, std::string& error) {
    PacketRecord packet;
    bool keepalive;
    if (!PacketFromJson(line, packet, keepalive, error))
        return false;
    if (!keepalive && !transport.Encode(packet)) {
        error = "the body could not be encoded";
        return false;
    }
    std::uint8_t raw[kHeaderSize];
    packet.header.Seal(raw);
    out.insert(out.end(), raw, raw + kHeaderSize);
    out.insert(out.end(), packet.body.begin(), packet.body.end());
    return true;
}

} // namespace zkv
