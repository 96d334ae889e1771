#include "ata/AtaCommandRecord.h"

#include "support/ByteOrder.h"

#include <algorithm>
#include <cstdio>

namespace zkv {
namespace {

constexpr std::array<const char*, kAtaProtocolCount> kDisplayNames = {
    "NO DATA",
    "PIO READ",
    "PIO WRITE",
    "PIO READ_DRDY",
    "PIO RD_Q_DRDY",
    "PIO WR_Q_DRDY",
    "PR_REG_RD_TOSH_RAM",
    "PR_REG_RD_FUJMPG_RAM",
    "PR_REG_RD_FUJMHT_RAM",
    "PR_REG_RD_IBM_RAM",
};

constexpr std::array<const char*, kAtaProtocolCount> kLogNames = {
    "PR_NO_DATA",           "PR_PIO_READ",       "PR_PIO_WRITE",       "PR_PIO_READ_DRDY",
    "PR_PIO_RD_Q_DRDY",     "PR_PIO_WR_Q_DRDY",  "PR_REG_RD_TOSH_RAM", "PR_REG_RD_FUJMPG_RAM",
    "PR_REG_RD_FUJMHT_RAM", "PR_REG_RD_IBM_RAM",
};

constexpr std::array<const char*, 12> kFlagNames = {
    "(Write DC)",      "(Read AC)",     "(Write DATA)",      "(LBA 48)",
    "(Reset Enable)",  "(Read REGS)",   "(Ignore Errors)",   "(No Write Command)",
    "(No Ready DRSC)", "(Quantum cmd)", "(old Quantum cmd)", "(Write log)",
};

} // namespace

const char* ProtocolDisplayName(int protocol) {
    return protocol >= 0 && protocol < kAtaProtocolCount ? kDisplayNames[protocol] : "";
}
const char* ProtocolLogName(int protocol) {
    return protocol >= 0 && protocol < kAtaProtocolCount ? kLogNames[protocol] : "";
}
const char* FlagDisplayName(int bit) {
    return bit >= 0 && bit < static_cast<int>(kFlagNames.size()) ? kFlagNames[bit] : nullptr;
}

void AtaCommandRecord::EncodeTo(std::uint8_t* p) const {
    PutU16(p + 0, Data);
    p[2] = FR;
    p[3] = SC;
    p[4] = SN;
    p[5] = CL;
    p[6] = CH;
    p[7] = DH;
    p[8] = CR;
    p[9] = FR1;
    p[10] = SN1;
    p[11] = SC1;
    p[12] = CL1;
    p[13] = CH1;
    p[14] = ER;
    p[15] = SR;
    p[16] = DC;
    p[17] = AC;
    p[18] = Protocol;
    PutI32(p + 19, Time);
    PutU32(p + 23, BufferRef);
    PutI32(p + 27, DataLen);
    PutU32(p + 31, Tag);
    PutI32(p + 35, Result);
    PutU32(p + 39, RepeatCnt);
    PutU32(p + 43, Flags);
}

std::array<std::uint8_t, AtaCommandRecord::kSize> AtaCommandRecord::Encode() const {
    std::array<std::uint8_t, kSize> out{};
    EncodeTo(out.data());
    return out;
}

void AtaCommandRecord::DecodeFrom(const std::uint8_t* p) {
    Data = GetU16(p + 0);
    FR = p[2];
    SC = p[3];
    SN = p[4];
    CL = p[5];
    CH = p[6];
    DH = p[7];
    CR = p[8];
    FR1 = p[9];
    SN1 = p[10];
    SC1 = p[11];
    CL1 = p[12];
    CH1 = p[13];
    ER = p[14];
    SR = p[15];
    DC = p[16];
    AC = p[17];
    Protocol = p[18];
    Time = GetI32(p + 19);
    BufferRef = GetU32(p + 23);
    DataLen = GetI32(p + 27);
    Tag = GetU32(p + 31);
    Result = GetI32(p + 35);
    RepeatCnt = GetU32(p + 39);
    Flags = GetU32(p + 43);
}

bool AtaCommandRecord::Decode(std::span<const std::uint8_t> in) {
    if (in.size() < kSize)
        return false;
    DecodeFrom(in.data());
    return true;
}

bool IsReadProtocol(int protocol) {
    switch (protocol) {
    case PR_PIO_READ:
    case PR_PIO_READ_DRDY:
    case PR_PIO_RD_Q_DRDY:
    case PR_REG_RD_TOSH_RAM:
    case PR_REG_RD_FUJMPG_RAM:
    case PR_REG_RD_FUJMHT_RAM:
    case PR_REG_RD_IBM_RAM:
        return true;
    default:
        return false;
    }
}

bool IsWriteProtocol(int protocol) {
    return protocol == PR_PIO_WRITE || protocol == PR_PIO_WR_Q_DRDY;
}

void ClampWireLimits(AtaCommandRecord& rec) {
    rec.Time = std::clamp(rec.Time, 0, kMaxCommandTime);
    rec.RepeatCnt = std::min(rec.RepeatCnt, kMaxRepeatCount);
}

bool PrepareCommandBuffer(AtaCommandRecord& rec, std::span<const std::uint8_t> trailing) {
    rec.Buffer.clear();
    if (rec.DataLen < 0)
        rec.DataLen = 0;
    if (IsWriteProtocol(rec.Protocol)) {
        std::size_t n =
            std::min<std::size_t>(static_cast<std::size_t>(rec.DataLen), trailing.size());
        rec.Buffer.assign(trailing.begin(), trailing.begin() + static_cast<std::ptrdiff_t>(n));
        rec.DataLen = static_cast<std::int32_t>(n);
        return true;
    }
    if (IsReadProtocol(rec.Protocol)) {
        if (rec.DataLen == 0)
            rec.DataLen = kDefaultReadBuffer;
        if (rec.DataLen > kMaxCommandBuffer) {
            rec.Result = ATA_NO_MEMORY;
            rec.DataLen = 0;
            return false;
        }
        rec.Buffer.assign(static_cast<std::size_t>(rec.DataLen), 0);
    }
    return true;
}

std::string HexDigits(std::uint32_t v, int digits) {
    char b[12];
    std::snprintf(b, sizeof b, "%0*X", digits, v);
    return b;
}

} // namespace zkv
