// The disk helper's protocol: messages between the client and the root disk helper over the
// helper's standard input and output (docs/helper-protocol.md describes the bytes).
//
// A frame is a u32 length (little-endian, counting the type byte and the payload), a type byte
// and the payload. Every integer is encoded explicitly, little-endian; nothing is cast onto a
// buffer. Every decoder checks each length against what is left and against the maxima below,
// and refuses trailing bytes.
#pragma once

#include "ata/AtaCommandRecord.h"
#include "ata/ControllerInfo.h"
#include "ata/DeviceId.h"
#include "platform/DeviceSetup.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zkv::helper {

inline constexpr std::uint32_t kMagic = 0x48444B5A; // "ZKDH" in the order it is sent
inline constexpr std::uint16_t kProtocolVersion = 3;

// Bounds of the protocol.
inline constexpr std::uint32_t kMaxCommandData = 32u << 20; // one command's data
inline constexpr std::uint64_t kMaxBatchData = 40u << 20;   // a batch's data, reads and writes
inline constexpr std::uint32_t kMaxBatchEntries = 4096;
inline constexpr std::uint32_t kMaxTraceBytes = 4u << 20; // the traces of one batch's reply
inline constexpr std::uint32_t kMaxFrame = 48u << 20;     // type byte + payload
inline constexpr std::size_t kMaxKey = 255;
inline constexpr std::size_t kMaxText = 4095;
inline constexpr std::uint32_t kMaxListEntries = 256;
inline constexpr std::size_t kMaxRanges = 16;

// The bytes of a frame header and of a record on the wire.
inline constexpr std::size_t kFrameHeaderSize = 5;
static_assert(AtaCommandRecord::kSize == 47, "the record's wire form is 47 bytes");

enum MessageType : std::uint8_t {
    MSG_HELLO = 0x01,
    MSG_LIST = 0x02,
    MSG_TAKE = 0x03,
    MSG_GIVE = 0x04,
    MSG_BATCH = 0x05,
    MSG_ABORT = 0x06, // no reply; stops the running batch
    MSG_STATUS = 0x07,
    MSG_DEVICE = 0x08, // a device operation of the engine other than a command (DeviceOp)
    MSG_REPLY = 0x80,  // reply type = request type | MSG_REPLY
    MSG_ERROR = 0xFF,  // a refused request
};

enum EntryKind : std::uint8_t {
    ENTRY_COMMAND = 1, // ExecuteCommand with the repetitions and traces of the record
    ENTRY_STATUS = 2,  // ReadStatus
    ENTRY_RESET = 3,   // ResetDevice with the record's flags and time
};
static_assert(int{ENTRY_COMMAND} == int{RemoteEntry::Command} &&
              int{ENTRY_STATUS} == int{RemoteEntry::Status} &&
              int{ENTRY_RESET} == int{RemoteEntry::Reset});

// The device operations of MSG_DEVICE.
enum DeviceOp : std::uint8_t {
    OP_DETECT = 1,          // both positions probed and identified
    OP_IDENTIFY = 2,        // IDENTIFY DEVICE of the chosen position
    OP_IDENTIFY_PACKET = 3, // IDENTIFY PACKET DEVICE of the chosen position
    OP_SELECT = 4,          // the chosen position selected on the bus
    OP_SET_FEATURES = 5,    // SET FEATURES with the given subcommand and the request's record
};

enum ErrorCode : std::uint16_t {
    ERR_MALFORMED = 1,  // the payload does not decode
    ERR_VERSION = 2,    // hello with another version, or no hello first
    ERR_NOT_TAKEN = 3,  // the channel named is not the one taken
    ERR_BOUNDS = 4,     // a record or the batch is past the bounds
    ERR_NO_CHANNEL = 5, // no such channel, or not one the engine can drive
    ERR_BUSY = 6,       // another channel is taken
    ERR_UNKNOWN = 7,    // unknown message type
};

struct Frame {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
};

// The frame's bytes: header and payload. The payload must be below kMaxFrame.
std::vector<std::uint8_t> EncodeFrame(std::uint8_t type, std::span<const std::uint8_t> payload);
// The length field of a header: false unless it lies in 1..kMaxFrame.
bool DecodeFrameHeader(const std::uint8_t (&header)[kFrameHeaderSize], std::uint32_t& bodyLength,
                       std::uint8_t& type);
// One whole frame from `bytes` (header included), nothing after it.
bool DecodeFrame(std::span<const std::uint8_t> bytes, Frame& out);

// --- hello ---
std::vector<std::uint8_t> EncodeHello(std::uint16_t version = kProtocolVersion);
bool DecodeHello(std::span<const std::uint8_t> payload, std::uint16_t& version);

// --- abort: the number of the request it is meant for (requests are numbered from 1 in the
// order they are sent, the hello included)
std::vector<std::uint8_t> EncodeAbort(std::uint32_t request);
bool DecodeAbort(std::span<const std::uint8_t> payload, std::uint32_t& request);

// --- a channel key (take, give, status) ---
std::vector<std::uint8_t> EncodeKey(const std::string& key);
bool DecodeKey(std::span<const std::uint8_t> payload, std::string& key);

// --- the controller list ---
struct ListEntry {
    std::string key;
    std::string description;
    bool drivable = false; // a channel the engine can drive
    bool disabled = false;
    bool disableable = false;
    bool taken = false; // taken by this helper
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    // The rest of the device setup's entry (its key, description and ranges are the fields
    // above) and the status's driver and refusal, for the client's controller list.
    DeviceSetupEntry setup;
    std::string driver;
    std::string reason;
};
std::vector<std::uint8_t> EncodeList(const std::vector<ListEntry>& entries);
bool DecodeList(std::span<const std::uint8_t> payload, std::vector<ListEntry>& entries);

// --- take and give replies ---
struct ChannelReply {
    bool ok = false;
    bool restartNeeded = false;
    std::string message;
};
std::vector<std::uint8_t> EncodeChannelReply(const ChannelReply& r);
bool DecodeChannelReply(std::span<const std::uint8_t> payload, ChannelReply& r);

// --- a batch ---
struct BatchEntry {
    std::uint8_t kind = ENTRY_COMMAND;
    AtaCommandRecord rec; // a writing command's data is in rec.Buffer
};
struct BatchRequest {
    std::string key;
    // Clear the failure streak and the critical-error switch first (a new batch of the
    // technician's; false when it continues one split around a window's question).
    bool freshStreak = true;
    // The device of the channel the records go to (the engine sets the select bit by it).
    bool slave = false;
    std::vector<BatchEntry> entries;
};
std::vector<std::uint8_t> EncodeBatch(const BatchRequest& batch);
// Checks every bound (the entry count, each kind, data only for the writing protocols and then
// exactly DataLen bytes, reads of at most kMaxCommandData, the batch's data at most
// kMaxBatchData); `why` says which failed. A passing record has Time clamped to
// 0..kMaxCommandTime, RepeatCnt to kMaxRepeatCount (the engine's wire limits), and a negative
// DataLen made 0.
bool DecodeBatch(std::span<const std::uint8_t> payload, BatchRequest& batch, std::string& why);

// The reply: how many entries ran, whether an abort cut the batch short, and per entry that ran
// its kind and result bytes. A command's result bytes are those of AtaCommandReplyData (the
// record as the engine left it, the data read, the traces); status and reset give the record.
struct BatchResult {
    std::uint8_t kind = ENTRY_COMMAND;
    std::vector<std::uint8_t> bytes;
};
struct BatchReply {
    bool aborted = false;
    std::vector<BatchResult> results;
};
std::vector<std::uint8_t> EncodeBatchReply(const BatchReply& reply);
bool DecodeBatchReply(std::span<const std::uint8_t> payload, BatchReply& reply);
// Fills `rec` (registers, and the data read into rec.Buffer) from a command's result bytes;
// `traces` gets the traces of its attempts. False when the bytes do not hold a whole result.
bool DecodeCommandResult(std::span<const std::uint8_t> bytes, AtaCommandRecord& rec,
                         std::vector<std::vector<std::uint8_t>>* traces = nullptr);

// --- status: the channel's key and the device (0 master, 1 slave) ---
std::vector<std::uint8_t> EncodeStatusRequest(const std::string& key, bool slave);
bool DecodeStatusRequest(std::span<const std::uint8_t> payload, std::string& key, bool& slave);
std::vector<std::uint8_t> EncodeRecord(const AtaCommandRecord& rec);
bool DecodeRecord(std::span<const std::uint8_t> payload, AtaCommandRecord& rec);

// --- a device operation ---
struct DeviceRequest {
    std::string key;
    bool slave = false;
    std::uint8_t op = OP_SELECT;
    std::uint8_t feature = 0; // OP_SET_FEATURES only
    AtaCommandRecord rec;     // OP_SET_FEATURES only: its registers and time
};
std::vector<std::uint8_t> EncodeDeviceRequest(const DeviceRequest& r);
// Refuses an unknown operation; the record's Time is clamped as a batch's is.
bool DecodeDeviceRequest(std::span<const std::uint8_t> payload, DeviceRequest& r);

// The engine's state after the operation: its result, the position it was left on, both
// positions' summaries, the IDENTIFY data the engine last took as the current drive's (when it
// has any), and the record (OP_SET_FEATURES).
struct DeviceReply {
    std::int32_t result = 0;
    bool master = true;
    DriveInfo masterInfo, slaveInfo;
    std::optional<std::array<std::uint8_t, 512>> identify;
    AtaCommandRecord rec;
};
std::vector<std::uint8_t> EncodeDeviceReply(const DeviceReply& r);
bool DecodeDeviceReply(std::span<const std::uint8_t> payload, DeviceReply& r);

// --- a refusal ---
std::vector<std::uint8_t> EncodeError(std::uint16_t code, const std::string& message);
bool DecodeError(std::span<const std::uint8_t> payload, std::uint16_t& code, std::string& message);

} // namespace zkv::helper
