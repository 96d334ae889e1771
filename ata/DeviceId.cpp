#include "ata/DeviceId.h"

#include "support/ByteOrder.h"

#include <cstring>

namespace zkv {
namespace {

void PutText(std::uint8_t* p, std::size_t width, const std::string& s) {
    std::memset(p, 0, width);
    std::size_t n = s.size() < width - 1 ? s.size() : width - 1;
    std::memcpy(p, s.data(), n);
}

std::string GetText(const std::uint8_t* p, std::size_t width) {
    std::size_t n = 0;
    while (n < width && p[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

} // namespace

std::array<std::uint8_t, DriveInfo::kSize> DriveInfo::Encode() const {
    std::array<std::uint8_t, kSize> b{};
    PutText(b.data() + 0, kSerialWidth, serial);
    PutText(b.data() + 21, kFirmwareWidth, firmware);
    PutText(b.data() + 30, kModelWidth, model);
    PutText(b.data() + 71, kSpareWidth, spare);
    b[112] = detected;
    PutI32(b.data() + 113, vendor);
    b[117] = master;
    b[118] = kind;
    b[119] = otherKind;
    b[120] = disabledByMe;
    for (std::size_t i = 0; i < ports.size(); ++i)
        PutU32(b.data() + 121 + 4 * i, ports[i]);
    PutText(b.data() + 169, kDescWidth, deviceDesc);
    return b;
}

bool DriveInfo::Decode(std::span<const std::uint8_t> in) {
    if (in.size() < kSize)
        return false;
    const std::uint8_t* b = in.data();
    serial = GetText(b + 0, kSerialWidth);
    firmware = GetText(b + 21, kFirmwareWidth);
    model = GetText(b + 30, kModelWidth);
    spare = GetText(b + 71, kSpareWidth);
    detected = b[112];
    vendor = GetI32(b + 113);
    master = b[117];
    kind = b[118];
    otherKind = b[119];
    disabledByMe = b[120];
    for (std::size_t i = 0; i < ports.size(); ++i)
        ports[i] = GetU32(b + 121 + 4 * i);
    deviceDesc = GetText(b + 169, kDescWidth);
    return true;
}

std::string IdentifyText(std::span<const std::uint8_t, 512> raw, int firstWord, int chars) {
    std::string s(static_cast<std::size_t>(chars), ' ');
    const std::uint8_t* area = raw.data() + 2 * firstWord;
    for (int k = 0; k < chars; ++k) {
        std::uint8_t c = area[k ^ 1]; // character 2k is byte 2k+1, character 2k+1 is byte 2k
        s[static_cast<std::size_t>(k)] = (c < 32 || c > 122) ? '_' : static_cast<char>(c);
    }
    return s;
}

std::string TrimBlanks(std::string s) {
    std::size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos)
        return {};
    std::size_t b = s.find_last_not_of(' ');
    return s.substr(a, b - a + 1);
}

std::uint16_t IdentifyWord(std::span<const std::uint8_t, 512> raw, int word) {
    return GetU16(raw.data() + 2 * word);
}

void DeviceID::LoadIdentifyData(std::span<const std::uint8_t, 512> data) {
    Clear();
    std::array<std::uint8_t, 512> copy;
    std::memcpy(copy.data(), data.data(), 512);
    raw_ = copy;
    model_ = TrimBlanks(IdentifyText(data, 27, 40));
    serial_ = TrimBlanks(IdentifyText(data, 10, 20));
    firmware_ = TrimBlanks(IdentifyText(data, 23, 8));
    valid_ = true;
}

void DeviceID::Clear() {
    raw_.reset();
    model_.clear();
    serial_.clear();
    firmware_.clear();
    valid_ = false;
}

bool DeviceID::Bit(int word, int bit) const {
    if (!raw_)
        return false;
    return (IdentifyWord(std::span<const std::uint8_t, 512>(*raw_), word) >> bit) & 1;
}

void TakeIdentifyDevice(std::span<const std::uint8_t, 512> raw, DeviceID& id, DriveInfo& info) {
    id.LoadIdentifyData(raw);
    if (id.IsValid()) {
        info.serial = id.Serial();
        info.firmware = id.Firmware();
        info.model = id.Model();
        info.spare.clear();
        info.kind = KIND_ATA;
    } else {
        info.kind = KIND_ATA_REJECTED;
    }
}

void TakeIdentifyPacketDevice(std::span<const std::uint8_t, 512> raw, DriveInfo& info) {
    info.model = IdentifyText(raw, 27, 40);
    info.serial = IdentifyText(raw, 10, 20);
    info.firmware = IdentifyText(raw, 23, 8);
    info.kind = KIND_PACKET;
}

} // namespace zkv
