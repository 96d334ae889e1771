// JSON forms of packets, one object per line, as the protocol inspector prints and reads them.
//
//   packet:     {"offset", "header": H, "items": [I, ...]}
//   keep-alive: {"offset", "keepalive": true, "header": H}
//   bad header: {"offset", "bad_header": true}
//   bad body:   {"offset", "header": H, "error": TEXT}
//   truncation: {"offset", "truncated": true}
//   H = {"wire_length", "plain_length", "sender_role", "addressee_role", "kind", "reserved",
//        "sender_id", "partner_id", "delivery", "destination_id", "flags", "exchange_id"}
//   I = {"code", "name", "data_length", "flags", "echo", "reserved", "data": hex}
#pragma once

#include "protocol/Packet.h"
#include "protocol/TransportData.h"
#include "protocol/WireStream.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zkv {

using Json = nlohmann::ordered_json;

Json HeaderToJson(const PacketHeader& h);
// The item's name: command name for command packets, reply status name for replies, command
// name for any other kind.
Json ItemToJson(const ItemRecord& item, std::uint8_t kind);
Json WireEventToJson(const WireEvent& ev);

// Builds the packet a JSON line describes (header fields default to 0; lengths, magic and CRC
// are computed) and appends its encoded bytes to `out`. Returns false with `error` set when the
// line is not of that shape.
bool EncodeJsonPacket(const Json& line, const TransportData& transport,
                      std::vector<std::uint8_t>& out, std::string& error);

// Builds the packet record (header fields and plain body) a JSON line describes, not encoded.
bool PacketFromJson(const Json& line, PacketRecord& packet, bool& keepalive, std::string& error);

} // namespace zkv
