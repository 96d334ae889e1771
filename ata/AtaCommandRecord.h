// AtaCommandRecord: one ATA command with its registers, protocol, time-out, data and result.
//
// Wire layout (47 bytes, little-endian, no padding):
//    0 u16 Data     2 FR   3 SC   4 SN   5 CL   6 CH   7 DH   8 CR
//    9 FR1         10 SN1 11 SC1 12 CL1 13 CH1 14 ER  15 SR  16 DC  17 AC  18 protocol
//   19 i32 Time    23 u32 buffer reference (meaningless on the wire, carried through unchanged)
//   27 i32 DataLen 31 u32 Tag    35 i32 result   39 u32 RepeatCnt   43 u32 Flags
// In memory the record owns its data buffer; the engine may grow it for the reading protocols
// whose length the device decides.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zkv {

enum AtaProtocol : std::uint8_t {
    PR_NO_DATA = 0,
    PR_PIO_READ = 1,
    PR_PIO_WRITE = 2,
    PR_PIO_READ_DRDY = 3,
    PR_PIO_RD_Q_DRDY = 4,
    PR_PIO_WR_Q_DRDY = 5,
    PR_REG_RD_TOSH_RAM = 6,
    PR_REG_RD_FUJMPG_RAM = 7,
    PR_REG_RD_FUJMHT_RAM = 8,
    PR_REG_RD_IBM_RAM = 9,
};
inline constexpr int kAtaProtocolCount = 10;

enum AtaFlag : std::uint32_t {
    WRDC = 0x0001,
    RDAC = 0x0002,
    WRDATA = 0x0004,
    EXTADDR = 0x0008,
    RESETENABLE = 0x0010,
    READREGS = 0x0020,
    IGNOREERRORS = 0x0040,
    NOWRITECOMMAND = 0x0080,
    NOREADYDRSC = 0x0100,
    QUANTUMCMD = 0x0200,
    OLDQUANTUMCMD = 0x0400,
    WRITELOG = 0x0800,
    IGNOREERRWAIT = 0x1000,
};

// Engine result codes; the names are those of the protocol's error table.
enum AtaResult : std::int32_t {
    ATA_OK = 0,
    ATA_ERROR = 1,
    ATA_NO_DEVICE = 2,
    ATA_DEVICE_ERROR = 3,
    ATA_DEVICE_BUSY = 4,
    ATA_BUS_BUSY = 5,
    ATA_TIMEOUT = 6,
    ATA_ABORT = 7,
    // Not produced by the engine itself: PrepareCommandBuffer sets it when a read asks for more
    // than kMaxCommandBuffer. The ATA thread refuses such an item before that (0x1003, no
    // data), so this code does not reach the wire from there.
    ATA_NO_MEMORY = 8,
};

// "NO DATA", "PIO READ", ... for protocols 0-9; an empty text for other values.
const char* ProtocolDisplayName(int protocol);
// "PR_NO_DATA", ... for protocols 0-9; an empty text for other values.
const char* ProtocolLogName(int protocol);
// "(Write DC)", ... for flag bits 0-11; nullptr for other bits.
const char* FlagDisplayName(int bit);
// `v` in upper-case hexadecimal, `digits` digits at least, as the engine's log lines show
// register and flag values.
std::string HexDigits(std::uint32_t v, int digits);

struct AtaCommandRecord {
    static constexpr std::size_t kSize = 47;

    std::uint16_t Data = 0;
    std::uint8_t FR = 0, SC = 0, SN = 0, CL = 0, CH = 0, DH = 0, CR = 0;
    std::uint8_t FR1 = 0, SN1 = 0, SC1 = 0, CL1 = 0, CH1 = 0;
    std::uint8_t ER = 0, SR = 0, DC = 0, AC = 0;
    std::uint8_t Protocol = 0;
    std::int32_t Time = 0;
    std::uint32_t BufferRef = 0;
    std::int32_t DataLen = 0;
    std::uint32_t Tag = 0;
    std::int32_t Result = 0;
    std::uint32_t RepeatCnt = 0;
    std::uint32_t Flags = 0;

    // The data buffer (not part of the wire form). Its size is the buffer's capacity.
    std::vector<std::uint8_t> Buffer;

    bool Has(std::uint32_t flag) const { return (Flags & flag) != 0; }

    void EncodeTo(std::uint8_t* out) const;
    std::array<std::uint8_t, kSize> Encode() const;
    // Fills the register fields from 47 bytes; the buffer is left as it is.
    void DecodeFrom(const std::uint8_t* in);
    // False (record unchanged) unless `in` holds at least 47 bytes.
    bool Decode(std::span<const std::uint8_t> in);
};

// The reading protocols: the reply carries DataLen bytes of data after the record.
bool IsReadProtocol(int protocol);
// The writing protocols: the request carries DataLen bytes of data after the record.
bool IsWriteProtocol(int protocol);

// The largest data buffer a command may ask for: 65536 sectors of 512 bytes.
inline constexpr std::int32_t kMaxCommandBuffer = 65536 * 512;
// The largest size a growing read buffer may reach before further data is left unread.
inline constexpr std::size_t kMaxGrownBuffer = 4u << 20;
// The longest time-out a technician's command may ask for (ms), and the most attempts: a record
// from the wire is brought within these before it runs. A command can still be ended sooner by
// the abort request, which every waiting loop of the engine watches.
inline constexpr std::int32_t kMaxCommandTime = 10 * 60 * 1000;
inline constexpr std::uint32_t kMaxRepeatCount = 100;
// Time into 0..kMaxCommandTime, RepeatCnt to at most kMaxRepeatCount.
void ClampWireLimits(AtaCommandRecord& rec);

// The buffer a reading command gets when it asks for none.
inline constexpr std::int32_t kDefaultReadBuffer = 8192;

// Gives `rec` the buffer a command item asks for: none for PR_NO_DATA and unknown protocols,
// the item's trailing data for the writing protocols, a zeroed buffer of DataLen bytes (8192,
// with DataLen set to 8192, when DataLen is 0) for the reading ones. A write whose trailing data
// is shorter than DataLen sends only what is there: DataLen is cut to it. A negative DataLen is
// taken as 0. Returns false, with result ATA_NO_MEMORY and DataLen 0, when a read buffer larger
// than kMaxCommandBuffer is asked for.
bool PrepareCommandBuffer(AtaCommandRecord& rec, std::span<const std::uint8_t> trailing);

} // namespace zkv
