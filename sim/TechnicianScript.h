// The technician scripts the service stand-in plays, and the decoded form of the client's ATA
// replies it prints.
//
// A script is one JSON object a line:
//   {"delay_ms": N}          pause N ms before the next packet
//   {"wait_reply_ms": N}     wait until the client's reply to the previous packet arrives (its
//                            exchange identifier), at most N ms; then go on
//   {"wait_item": C, "data_prefix": HEX, "ms": N}
//                            wait until the client sends an item of code C whose data begin
//                            with HEX (optional), at most N ms; then go on
//   a packet                 the input form of `zelkova-wire encode`, where an item may give
//                            "ata": {...} (a CMD_ATA_COMMAND record by field names) or
//                            "wizard": {...} (a TWizFormData) instead of "data"; a packet
//                            with "ata" items carries the ATA flag unless it sets flags
// The whole format is described in docs/service-sim.md.
#pragma once

#include "ata/AtaCommandRecord.h"
#include "protocol/PacketJson.h"

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

namespace zkv::sim {

// The longest wait a script may ask for.
inline constexpr int kMaxWaitMs = 600000;

struct ScriptStep {
    enum class Kind { Delay, WaitReply, WaitItem, Packet };
    Kind kind = Kind::Packet;
    int ms = 0;                          // Delay: the pause; WaitReply and WaitItem: the time-out
    std::uint32_t itemCode = 0;          // WaitItem: the item code awaited
    std::vector<std::uint8_t> dataStart; // WaitItem: what its data must begin with
    Json packet;      // Packet: in the encode form, "ata" and "wizard" items turned into data
    bool ata = false; // Packet: the header carries the ATA flag (bit 3)
    bool exchangeIdGiven = false; // Packet: the line set a non-zero exchange identifier
};

// Reads one script line. False with `error` set when it is not of a known shape.
bool ParseScriptLine(const Json& line, ScriptStep& step, std::string& error);
// Reads a script file (blank lines skipped); errors go to `err` with the line number.
bool ReadScript(const std::string& file, std::vector<ScriptStep>& script, std::ostream& err);

// The item data an "ata" object describes: the 47-byte record, then the "data" bytes.
bool AtaItemData(const Json& ata, std::vector<std::uint8_t>& data, std::string& error);
// The item data a "wizard" object describes: a serialized TWizFormData.
bool WizardItemData(const Json& wizard, std::vector<std::uint8_t>& data, std::string& error);

// Every field of a record by name.
Json AtaRecordToJson(const AtaCommandRecord& rec);
// The fields of one reply item's data to an ATA batch: {"record", "data", "trace"} for a
// record (the data only for a reading protocol with DataLen > 0, the trace only with WRITELOG,
// one array of trace elements per attempt), {"wizard_result"} for the 4-byte dialog answer,
// plus "error" when the data do not have the shape the record announces. Null for no data.
Json DecodeAtaReply(std::span<const std::uint8_t> data);
// The elements of one compact trace, each {"text"}, {"text", "repeat", "value"} or
// {"repeat", "value"} (a further value of the open run).
Json DecodeTrace(std::span<const std::uint8_t> trace);

} // namespace zkv::sim
