#include "tools/ScanSurface.h"

#include "support/ByteOrder.h"

#include <algorithm>
#include <climits>

namespace zkv {

bool ScanSurfaceParams::Decode(std::span<const std::uint8_t> in) {
    if (in.size() < kSize)
        return false;
    const std::uint8_t* p = in.data();
    start = GetI32(p + 0);
    count = GetI32(p + 4);
    blockSize = GetI32(p + 8);
    for (std::size_t i = 0; i < timeout.size(); ++i)
        timeout[i] = GetU32(p + 12 + 4 * i);
    commandTimeout = GetU32(p + 36);
    attempts = GetI32(p + 40);
    reportPeriod = GetU32(p + 44);
    sliceMs = GetI32(p + 48);
    flags = p[52];
    padding = {p[53], p[54], p[55]};
    return true;
}

std::array<std::uint8_t, ScanSurfaceParams::kSize> ScanSurfaceParams::Encode() const {
    std::array<std::uint8_t, kSize> out{};
    std::uint8_t* p = out.data();
    PutI32(p + 0, start);
    PutI32(p + 4, count);
    PutI32(p + 8, blockSize);
    for (std::size_t i = 0; i < timeout.size(); ++i)
        PutU32(p + 12 + 4 * i, timeout[i]);
    PutU32(p + 36, commandTimeout);
    PutI32(p + 40, attempts);
    PutU32(p + 44, reportPeriod);
    PutI32(p + 48, sliceMs);
    p[52] = flags;
    p[53] = padding[0];
    p[54] = padding[1];
    p[55] = padding[2];
    return out;
}

void ScanSurfaceResult::EncodeTo(std::uint8_t* out) const {
    PutU64(out + 0, static_cast<std::uint64_t>(lba));
    PutU64(out + 8, static_cast<std::uint64_t>(sectors));
    PutU32(out + 16, timeMs);
    PutU32(out + 20, status);
    PutU32(out + 24, error);
    PutU32(out + 28, resultFlags);
    PutU32(out + 32, code);
}

ScanSurfaceResult ScanSurfaceResult::DecodeFrom(const std::uint8_t* in) {
    ScanSurfaceResult r;
    r.lba = static_cast<std::int64_t>(GetU64(in + 0));
    r.sectors = static_cast<std::int64_t>(GetU64(in + 8));
    r.timeMs = GetU32(in + 16);
    r.status = GetU32(in + 20);
    r.error = GetU32(in + 24);
    r.resultFlags = GetU32(in + 28);
    r.code = GetU32(in + 32);
    return r;
}

void BuildScanCommand(AtaCommandRecord& rec, ScanStep step, std::int64_t lba, std::int32_t count,
                      std::uint8_t flags, std::int32_t attempts, std::int32_t commandTimeout) {
    // Zero every register and result field; the buffer stays for reuse.
    std::vector<std::uint8_t> buffer = std::move(rec.Buffer);
    rec = AtaCommandRecord{};
    rec.Buffer = std::move(buffer);

    // The seek and the remap exist in the 28-bit form only.
    const bool ext = (flags & SCAN_LBA48) != 0 && step != ScanStep::Seek &&
                     step != ScanStep::Remap && step != ScanStep::ReadLong;
    std::int32_t dataLen = 0;
    switch (step) {
    case ScanStep::Seek:
        rec.CR = 0x70;
        rec.Protocol = PR_NO_DATA;
        count = 0;
        break;
    case ScanStep::Verify:
        if (flags & SCAN_READ_DATA) {
            rec.CR = ext ? 0x24 : 0x20;
            rec.Protocol = PR_PIO_READ;
            dataLen = count * 512;
        } else {
            rec.CR = ext ? 0x42 : 0x40;
            rec.Protocol = PR_NO_DATA;
        }
        break;
    case ScanStep::ReadLong:
        rec.CR = 0x22;
        rec.Protocol = PR_PIO_READ_DRDY;
        count = 1;
        dataLen = 512;
        break;
    case ScanStep::Remap:
        rec.CR = 0x50;
        rec.Protocol = PR_PIO_WRITE;
        count = 1;
        dataLen = 512;
        break;
    case ScanStep::Rewrite:
        rec.CR = ext ? 0x34 : 0x30;
        rec.Protocol = PR_PIO_WRITE;
        count = 1;
        dataLen = 512;
        break;
    case ScanStep::ControlRead:
        rec.CR = ext ? 0x24 : 0x20;
        rec.Protocol = PR_PIO_READ;
        dataLen = count * 512;
        break;
    }

    const auto u = static_cast<std::uint64_t>(lba);
    rec.SN = static_cast<std::uint8_t>(u);
    rec.CL = static_cast<std::uint8_t>(u >> 8);
    rec.CH = static_cast<std::uint8_t>(u >> 16);
    rec.SC = static_cast<std::uint8_t>(count); // 256 is written as 0
    if (ext) {
        rec.DH = 0xE0;
        rec.SC1 = static_cast<std::uint8_t>(count >> 8);
        rec.SN1 = static_cast<std::uint8_t>(u >> 24);
        rec.CL1 = static_cast<std::uint8_t>(u >> 32);
        rec.CH1 = static_cast<std::uint8_t>(u >> 40);
        rec.Flags = kScanFlagsB;
    } else {
        rec.DH = static_cast<std::uint8_t>(0xE0 | ((u >> 24) & 0x0F));
        rec.Flags = kScanFlagsA;
    }
    rec.RepeatCnt = static_cast<std::uint32_t>(attempts);
    const std::int64_t time =
        step == ScanStep::Remap ? std::int64_t{commandTimeout} * 10 : std::int64_t{commandTimeout};
    rec.Time = static_cast<std::int32_t>(std::clamp<std::int64_t>(time, 0, INT32_MAX));
    rec.DataLen = dataLen;
}

} // namespace zkv
