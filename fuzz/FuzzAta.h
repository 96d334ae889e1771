// What the engine's fuzz targets share: simulated timings and records that keep one execution
// cheap without leaving any path of the engine out.
#pragma once

#include "ata/AtaCommandRecord.h"
#include "sim/SimIde.h"

namespace zkv {

// Every port access takes 100 us of simulated time, so a time-out of a few milliseconds is a
// few dozen polls rather than thousands. The drive's own durations (a reset, a sector) are
// unchanged: they advance the clock without costing polls.
inline SimTimings CheapTimings() {
    SimTimings t;
    t.access = 100'000;
    return t;
}

// Keeps a record's waits and transfers short: time-outs of at most 7 ms; at most 8 sectors a
// command and 4 KiB of buffer; at most 64 bytes for the vendor RAM reads, where every byte is
// a command of its own (their DataLen 0, the 8192-byte default, becomes 64 too). Past a few
// units a transfer only repeats its loop. A DataLen past the command bound, or negative, is
// left alone so that its refusal is still reached.
inline void KeepCheap(AtaCommandRecord& rec) {
    rec.Time &= 7;
    if (rec.Protocol >= PR_PIO_READ && rec.Protocol <= PR_PIO_WR_Q_DRDY) {
        rec.SC = static_cast<std::uint8_t>(1 + (rec.SC & 7));
        rec.SC1 = 0;
    }
    const bool vendor = rec.Protocol >= PR_REG_RD_TOSH_RAM && rec.Protocol <= PR_REG_RD_IBM_RAM;
    const std::int32_t most = vendor ? 64 : 4096;
    if (vendor && rec.DataLen == 0)
        rec.DataLen = most;
    if (rec.DataLen > most && rec.DataLen <= kMaxCommandBuffer)
        rec.DataLen = 1 + rec.DataLen % most;
}

} // namespace zkv
