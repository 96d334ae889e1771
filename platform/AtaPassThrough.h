// ATA commands through a pass-through channel: one task-file command to one device, its output
// registers and what the layer below said about it.
//
// AtaPassThrough is the interface; the Linux backend (LinuxAtaPassThrough.h) sends each command
// as ATA PASS-THROUGH (16) over SG_IO, the simulated one (sim/SimPassThrough.h) runs it on a
// simulated IDE device. The sense parsing below is shared and pure, so that captured bytes can
// be checked without a device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zkv {

// The task-file registers. In the 48-bit form the `...Prev` bytes are the "previous" content of
// the 48-bit registers: features 15:8, count 15:8, LBA 31:24, 39:32 and 47:40.
struct AtaTaskFile {
    std::uint8_t feature = 0, count = 0, lbaLow = 0, lbaMid = 0, lbaHigh = 0, device = 0;
    std::uint8_t command = 0; // in: the command; out: the status
    std::uint8_t featurePrev = 0, countPrev = 0, lbaLowPrev = 0, lbaMidPrev = 0, lbaHighPrev = 0;
};

// The protocol field of ATA PASS-THROUGH. The values are those of the command descriptor block.
enum class PassThroughProtocol : std::uint8_t {
    HardReset = 0,
    SoftReset = 1,
    NonData = 3,
    PioDataIn = 4,
    PioDataOut = 5,
    Dma = 6,
    DmaQueued = 7,
    DeviceDiagnostic = 8,
    DeviceReset = 9,
    UdmaDataIn = 10,
    UdmaDataOut = 11,
    Fpdma = 12,
    ReturnResponse = 15,
};

enum class PassThroughDirection : std::uint8_t { None, In, Out };

// The largest data transfer one command may carry (65536 sectors).
inline constexpr std::size_t kMaxPassThroughData = 65536u * 512u;
// The longest time-out the layer below is given, in milliseconds.
inline constexpr std::uint32_t kMaxPassThroughTimeoutMs = 10u * 60u * 1000u;
// Sense bytes kept from one command.
inline constexpr std::size_t kMaxSenseBytes = 64;

struct AtaPassThroughCommand {
    AtaTaskFile regs;
    bool ext = false; // 48-bit registers (the previous bytes are sent)
    PassThroughProtocol protocol = PassThroughProtocol::NonData;
    PassThroughDirection direction = PassThroughDirection::None;
    // In: receives the data; out: the data sent. Its size is the transfer length.
    std::span<std::uint8_t> data;
    std::uint32_t timeoutMs = 10'000;
    // Asks for the output registers also on success (CK_COND). libata answers a PIO data-in
    // command sent so with the status of its PIO Setup FIS (58h, DRQ set) and ABORTED COMMAND
    // although the data arrived, so Execute sends PIO data-in without it: on success such a
    // command has no output registers, on error it has them as any other.
    bool checkCondition = true;
};

// The output registers and how they came back.
struct AtaOutputRegisters {
    std::uint8_t status = 0, error = 0, count = 0, lbaLow = 0, lbaMid = 0, lbaHigh = 0;
    std::uint8_t device = 0;
    // Valid only with `extend`.
    std::uint8_t countPrev = 0, lbaLowPrev = 0, lbaMidPrev = 0, lbaHighPrev = 0;
    bool extend = false;
    // Fixed-format sense carries no previous bytes, only whether they are non-zero.
    bool countPrevNonZero = false, lbaPrevNonZero = false;
    // Some registers were beyond the sense bytes received and read as 0.
    bool partial = false;
};

// What a block of sense data says.
struct AtaSense {
    enum class Format { None, Fixed, Descriptor };
    Format format = Format::None;
    bool deferred = false; // 0x71 / 0x73
    std::uint8_t key = 0, asc = 0, ascq = 0;
    bool hasRegisters = false;
    AtaOutputRegisters regs;
    // Fixed format with the ATA information at the offsets a kernel bug wrote it to (the
    // command-specific information field instead of the information field).
    bool misplacedFixed = false;
};

// Parses sense data (only `sense`'s bytes are looked at; lengths inside it are checked against
// them). Fixed format (0x70/0x71) and descriptor format (0x72/0x73) with the ATA Status Return
// descriptor (code 0x09) are understood; anything else gives Format::None.
AtaSense ParseAtaSense(std::span<const std::uint8_t> sense);

// Sense key 1, ASC/ASCQ 00h/1Dh: "ATA pass-through information available".
inline bool IsPassThroughInfo(const AtaSense& s) {
    return s.key == 0x01 && s.asc == 0x00 && s.ascq == 0x1D;
}

struct AtaPassThroughResult {
    enum class Outcome {
        Completed,   // the device ran the command (look at the status register for ERR)
        DeviceError, // the device reported an error; registers when `regs.hasRegisters`
        Refused,     // the layer below refused the command without sending it
        TimedOut,    // no completion within the time-out
        Failed,      // the request could not be made (errno in `sysError`) or ended otherwise
    };
    Outcome outcome = Outcome::Failed;
    AtaSense sense;
    std::vector<std::uint8_t> senseBytes; // at most kMaxSenseBytes
    std::uint8_t scsiStatus = 0;          // SAM status (0x02 CHECK CONDITION)
    std::uint16_t hostStatus = 0;         // DID_*
    std::uint16_t driverStatus = 0;
    std::size_t transferred = 0; // data bytes moved, as far as the layer below knows
    std::uint32_t durationMs = 0;
    int sysError = 0;
    std::string detail; // one line for logs when the outcome is not Completed
};

class AtaPassThrough {
public:
    virtual ~AtaPassThrough() = default;
    // Runs one command. The data span must stay valid for the call; its size and the time-out
    // are bounded by the limits above (larger ones are refused, not cut).
    virtual AtaPassThroughResult Execute(const AtaPassThroughCommand& cmd) = 0;
    // Resets the device's link; the layer below identifies the device again. True when done.
    virtual bool ResetDevice(std::string& why) = 0;
};

// What the caller asked for is within the limits; `why` says what is not.
bool PassThroughCommandValid(const AtaPassThroughCommand& cmd, std::string& why);

// The 16-byte ATA PASS-THROUGH (16) command descriptor block for `cmd`.
std::array<std::uint8_t, 16> BuildPassThrough16(const AtaPassThroughCommand& cmd);

} // namespace zkv
