// The surface scan's wire records and the ATA commands it builds.
//
// ScanSurfaceParams is the 56-byte parameter record the technician sends with CMD_SCAN_SURFACE;
// ScanSurfaceResult is the 36-byte record of one checked block that travels back in
// CMD_SHOW_SCAN. Both are little-endian on the wire and are encoded field by field.
#pragma once

#include "ata/AtaCommandRecord.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zkv {

// Scan option flags (ScanSurfaceParams::flags).
inline constexpr std::uint8_t SCAN_WRITE = 0x01;
inline constexpr std::uint8_t SCAN_REMAP = 0x02;
inline constexpr std::uint8_t SCAN_READ_LONG = 0x04;
inline constexpr std::uint8_t SCAN_READ_DATA = 0x08;
inline constexpr std::uint8_t SCAN_LBA48 = 0x10;

// Result flags (ScanSurfaceResult::resultFlags).
inline constexpr std::uint32_t RES_VERIFY_DONE = 0x01;
inline constexpr std::uint32_t RES_VERIFY_ERROR = 0x02;
inline constexpr std::uint32_t RES_REMAP_DONE = 0x04;
inline constexpr std::uint32_t RES_REMAP_ERROR = 0x08;
inline constexpr std::uint32_t RES_WRITE_DONE = 0x10;
inline constexpr std::uint32_t RES_WRITE_ERROR = 0x20;
inline constexpr std::uint32_t RES_CTLREAD_DONE = 0x40;
inline constexpr std::uint32_t RES_CTLREAD_ERROR = 0x80;

// The block sizes: 65535 sectors with 48-bit commands, 256 otherwise, 1 for a bad sector.
inline constexpr std::int32_t kScanBlock48 = 65535;
inline constexpr std::int32_t kScanBlock28 = 256;
// The first sector a 28-bit command cannot address.
inline constexpr std::int64_t kScanLimit28 = std::int64_t{1} << 28;
// Sectors at or above this address are never remapped (the remap command is 28-bit only).
inline constexpr std::int64_t kRemapLimit = 0x0FFFFFFF;

// The records in memory, naturally aligned; their wire layouts below are checked field by field.
struct ScanSurfaceParams {
    static constexpr std::size_t kSize = 56;

    std::int32_t start = 0;
    std::int32_t count = 0;
    std::int32_t blockSize = 0;
    std::array<std::uint32_t, 6> timeout{}; // T1..T6, ms, ascending
    std::uint32_t commandTimeout = 0;
    std::int32_t attempts = 0;
    std::uint32_t reportPeriod = 0;
    std::int32_t sliceMs = 0;
    std::uint8_t flags = 0;
    std::array<std::uint8_t, 3> padding{};

    bool Has(std::uint8_t f) const { return (flags & f) != 0; }
    // The first 56 bytes of `in`; false (record unchanged) when there are fewer.
    bool Decode(std::span<const std::uint8_t> in);
    std::array<std::uint8_t, kSize> Encode() const;
};

struct ScanSurfaceResult {
    static constexpr std::size_t kSize = 36;

    std::int64_t lba = 0;
    std::int64_t sectors = 0;
    std::uint32_t timeMs = 0;
    std::uint32_t status = 0;
    std::uint32_t error = 0;
    std::uint32_t resultFlags = 0;
    std::uint32_t code = 0;

    bool Has(std::uint32_t f) const { return (resultFlags & f) != 0; }
    void EncodeTo(std::uint8_t* out) const;
    static ScanSurfaceResult DecodeFrom(const std::uint8_t* in);
};

#pragma pack(push, 1)
// The records exactly as they lie on the wire, for the layout checks only: nothing is ever cast
// onto a buffer with them (Encode/Decode move each field explicitly, little-endian).
struct ScanSurfaceParamsLayout {
    std::int32_t start, count, blockSize;
    std::uint32_t timeout[6];
    std::uint32_t commandTimeout;
    std::int32_t attempts;
    std::uint32_t reportPeriod;
    std::int32_t sliceMs;
    std::uint8_t flags;
    std::uint8_t padding[3];
};
struct ScanSurfaceResultLayout {
    std::int64_t lba, sectors;
    std::uint32_t timeMs, status, error, resultFlags, code;
};
#pragma pack(pop)
static_assert(sizeof(ScanSurfaceParamsLayout) == ScanSurfaceParams::kSize);
static_assert(offsetof(ScanSurfaceParamsLayout, timeout) == 12);
static_assert(offsetof(ScanSurfaceParamsLayout, commandTimeout) == 36);
static_assert(offsetof(ScanSurfaceParamsLayout, attempts) == 40);
static_assert(offsetof(ScanSurfaceParamsLayout, reportPeriod) == 44);
static_assert(offsetof(ScanSurfaceParamsLayout, sliceMs) == 48);
static_assert(offsetof(ScanSurfaceParamsLayout, flags) == 52);
static_assert(sizeof(ScanSurfaceResultLayout) == ScanSurfaceResult::kSize);
static_assert(offsetof(ScanSurfaceResultLayout, timeMs) == 16);
static_assert(offsetof(ScanSurfaceResultLayout, resultFlags) == 28);
static_assert(offsetof(ScanSurfaceResultLayout, code) == 32);

// The steps of a scan, each one ATA command.
enum class ScanStep { Seek, Verify, ReadLong, Remap, Rewrite, ControlRead };

// Fills `rec` for one step at `lba` over `count` sectors: registers, protocol, flags, time-out
// and data length, for the 28-bit or the 48-bit command set as `flags` says. The record's
// buffer is left to the caller (its size must cover DataLen).
void BuildScanCommand(AtaCommandRecord& rec, ScanStep step, std::int64_t lba, std::int32_t count,
                      std::uint8_t flags, std::int32_t attempts, std::int32_t commandTimeout);

// The command flags: RESETENABLE + READREGS + IGNOREERRORS, with EXTADDR for 48-bit commands.
inline constexpr std::uint32_t kScanFlagsA = RESETENABLE | READREGS | IGNOREERRORS;
inline constexpr std::uint32_t kScanFlagsB = kScanFlagsA | EXTADDR;

} // namespace zkv
