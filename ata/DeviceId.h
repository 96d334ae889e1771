// DeviceID (the IDENTIFY data of the drive being worked on) and DriveInfo (the 425-byte summary of
// one channel position, also the HDD report sent to the technician).
//
// DriveInfo layout (little-endian):
//     0 char[21] serial     21 char[9] firmware    30 char[41] model    71 char[41] spare text
//   112 u8 detected        113 i32 vendor choice  117 u8 master        118 u8 kind
//   119 u8 kind of the other position             120 u8 disabled by me
//   121 u32[12] ports: data, ER, FR, SC, SN, CL, CH, DH, SR, CR, AC, DC
//   169 char[256] device description
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zkv {

enum DriveKind : std::uint8_t {
    KIND_NONE = 0,
    KIND_ANSWERED = 1,
    KIND_ATA = 2,
    KIND_ATA_REJECTED = 3,
    KIND_PACKET = 4,
};

struct DriveInfo {
    static constexpr std::size_t kSize = 425;
    static constexpr std::size_t kSerialWidth = 21;
    static constexpr std::size_t kFirmwareWidth = 9;
    static constexpr std::size_t kModelWidth = 41;
    static constexpr std::size_t kSpareWidth = 41;
    static constexpr std::size_t kDescWidth = 256;

    std::string serial;
    std::string firmware;
    std::string model;
    std::string spare;
    std::uint8_t detected = 0;
    std::int32_t vendor = -1;
    std::uint8_t master = 0;
    std::uint8_t kind = KIND_NONE;
    std::uint8_t otherKind = KIND_NONE;
    std::uint8_t disabledByMe = 0;
    std::array<std::uint32_t, 12> ports{};
    std::string deviceDesc;

    void Clear() { *this = DriveInfo{}; }
    // Texts longer than their field are cut so the terminator always fits.
    std::array<std::uint8_t, kSize> Encode() const;
    bool Decode(std::span<const std::uint8_t> in);
};

// Characters 0..n-1 of an IDENTIFY text field that starts at `firstWord`: two characters per
// word, the first in the high byte; anything outside ' '..'z' becomes '_'.
std::string IdentifyText(std::span<const std::uint8_t, 512> raw, int firstWord, int chars);
std::string TrimBlanks(std::string s);
std::uint16_t IdentifyWord(std::span<const std::uint8_t, 512> raw, int word);

class DeviceID {
public:
    void LoadIdentifyData(std::span<const std::uint8_t, 512> data);
    void Clear();

    const std::string& Model() const { return model_; }
    const std::string& Serial() const { return serial_; }
    const std::string& Firmware() const { return firmware_; }
    bool IsValid() const { return raw_.has_value() && valid_; }
    const std::optional<std::array<std::uint8_t, 512>>& Raw() const { return raw_; }

    bool WriteCacheSupported() const { return Bit(82, 5); }
    bool WriteCacheEnabled() const { return Bit(85, 5); }
    bool LookAheadSupported() const { return Bit(82, 6); }
    bool LookAheadEnabled() const { return Bit(85, 6); }

private:
    bool Bit(int word, int bit) const;

    std::optional<std::array<std::uint8_t, 512>> raw_;
    std::string model_, serial_, firmware_;
    bool valid_ = false;
};

// The two IDENTIFY answers, as every kind of channel reports them in its DriveInfo:
// IDENTIFY DEVICE is loaded into `id` (the drive worked on) and gives KIND_ATA with the drive's
// texts when the block is valid, KIND_ATA_REJECTED otherwise; IDENTIFY PACKET DEVICE gives the
// untrimmed texts and KIND_PACKET.
void TakeIdentifyDevice(std::span<const std::uint8_t, 512> raw, DeviceID& id, DriveInfo& info);
void TakeIdentifyPacketDevice(std::span<const std::uint8_t, 512> raw, DriveInfo& info);

} // namespace zkv
