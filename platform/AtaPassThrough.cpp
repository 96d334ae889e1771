#include "platform/AtaPassThrough.h"

#include <algorithm>

namespace zkv {
namespace {

constexpr std::uint8_t kAtaStatusReturn = 0x09;

// The ATA Status Return descriptor: code, length 0x0C, EXTEND, error, count 15:8, count 7:0,
// LBA 31:24, 7:0, 39:32, 15:8, 47:40, 23:16, device, status.
bool StatusReturn(std::span<const std::uint8_t> d, AtaOutputRegisters& r) {
    if (d.size() < 14 || d[0] != kAtaStatusReturn || d[1] < 0x0C)
        return false;
    r.extend = (d[2] & 0x01) != 0;
    r.error = d[3];
    r.count = d[5];
    r.lbaLow = d[7];
    r.lbaMid = d[9];
    r.lbaHigh = d[11];
    r.device = d[12];
    r.status = d[13];
    if (r.extend) {
        r.countPrev = d[4];
        r.lbaLowPrev = d[6];
        r.lbaMidPrev = d[8];
        r.lbaHighPrev = d[10];
        r.countPrevNonZero = d[4] != 0;
        r.lbaPrevNonZero = (d[6] | d[8] | d[10]) != 0;
    }
    return true;
}

void Descriptor(std::span<const std::uint8_t> s, AtaSense& out) {
    out.key = s[1] & 0x0F;
    out.asc = s[2];
    out.ascq = s[3];
    if (s.size() < 8)
        return;
    std::size_t end = std::min<std::size_t>(s.size(), 8u + s[7]);
    std::size_t at = 8;
    while (at + 2 <= end) {
        std::size_t len = 2u + s[at + 1];
        if (at + len > end)
            break;
        if (StatusReturn(s.subspan(at, len), out.regs)) {
            out.hasRegisters = true;
            return;
        }
        at += len;
    }
}

// Fixed format: the information field (bytes 3-6) holds error, status, device and count 7:0;
// the command-specific information (bytes 8-11) the flags (EXTEND, count and LBA upper bytes
// non-zero) and LBA 7:0, 15:8, 23:16. A kernel bug wrote error, status, device and count to
// bytes 8-11 and the flags and LBA to bytes 16-19, past the 18 bytes it reports, so that only
// LBA 7:0 arrives; that layout has a zero information field and a non-zero status at byte 9.
void Fixed(std::span<const std::uint8_t> s, AtaSense& out) {
    out.key = s[2] & 0x0F;
    out.asc = s[12];
    out.ascq = s[13];
    std::size_t end = std::min<std::size_t>(s.size(), 8u + s[7]);
    auto at = [&](std::size_t i) -> std::uint8_t { return i < end ? s[i] : 0; };
    bool infoZero = (at(3) | at(4) | at(5) | at(6)) == 0;
    std::size_t info = 3, specific = 8;
    if (infoZero && at(9) != 0) {
        info = 8, specific = 16;
        out.misplacedFixed = true;
    } else if (infoZero) {
        return; // no ATA information
    }
    AtaOutputRegisters& r = out.regs;
    r.error = at(info);
    r.status = at(info + 1);
    r.device = at(info + 2);
    r.count = at(info + 3);
    std::uint8_t flags = at(specific);
    r.extend = (flags & 0x80) != 0;
    r.countPrevNonZero = (flags & 0x40) != 0;
    r.lbaPrevNonZero = (flags & 0x20) != 0;
    r.lbaLow = at(specific + 1);
    r.lbaMid = at(specific + 2);
    r.lbaHigh = at(specific + 3);
    r.partial = specific + 4 > end;
    out.hasRegisters = true;
}

} // namespace

AtaSense ParseAtaSense(std::span<const std::uint8_t> sense) {
    AtaSense out;
    if (sense.size() > kMaxSenseBytes)
        sense = sense.first(kMaxSenseBytes);
    if (sense.size() < 4)
        return out;
    std::uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        out.format = AtaSense::Format::Descriptor;
        out.deferred = code == 0x73;
        Descriptor(sense, out);
    } else if (code == 0x70 || code == 0x71) {
        if (sense.size() < 14)
            return out;
        out.format = AtaSense::Format::Fixed;
        out.deferred = code == 0x71;
        Fixed(sense, out);
    }
    return out;
}

bool PassThroughCommandValid(const AtaPassThroughCommand& cmd, std::string& why) {
    if (cmd.data.size() > kMaxPassThroughData) {
        why = "data transfer of " + std::to_string(cmd.data.size()) + " bytes is over the limit";
        return false;
    }
    if (cmd.data.size() % 512 != 0) {
        why = "data transfer of " + std::to_string(cmd.data.size()) +
              " bytes is not a whole number of sectors";
        return false;
    }
    if ((cmd.direction == PassThroughDirection::None) != cmd.data.empty()) {
        why = "data direction and data length disagree";
        return false;
    }
    if (cmd.timeoutMs == 0 || cmd.timeoutMs > kMaxPassThroughTimeoutMs) {
        why = "time-out of " + std::to_string(cmd.timeoutMs) + " ms is out of range";
        return false;
    }
    return true;
}

std::array<std::uint8_t, 16> BuildPassThrough16(const AtaPassThroughCommand& cmd) {
    std::array<std::uint8_t, 16> c{};
    const AtaTaskFile& r = cmd.regs;
    c[0] = 0x85;
    c[1] = static_cast<std::uint8_t>((static_cast<unsigned>(cmd.protocol) & 0x0F) << 1) |
           (cmd.ext ? 0x01 : 0x00);
    std::uint8_t f = cmd.checkCondition ? 0x20 : 0x00;
    if (cmd.direction != PassThroughDirection::None) {
        // Length in 512-byte blocks, given by the count register.
        f |= 0x04 | 0x02;
        if (cmd.direction == PassThroughDirection::In)
            f |= 0x08;
    }
    c[2] = f;
    if (cmd.ext) {
        c[3] = r.featurePrev;
        c[5] = r.countPrev;
        c[7] = r.lbaLowPrev;
        c[9] = r.lbaMidPrev;
        c[11] = r.lbaHighPrev;
    }
    c[4] = r.feature;
    c[6] = r.count;
    c[8] = r.lbaLow;
    c[10] = r.lbaMid;
    c[12] = r.lbaHigh;
    c[13] = r.device;
    c[14] = r.command;
    return c;
}

} // namespace zkv
