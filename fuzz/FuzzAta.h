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
// command and 4 KiB of buffer. Past a few sectors a transfer only repeats its loop. A DataLen
// past the command bound, or negative, is left alone so that its refusal is still reached.
inline void KeepCheap(AtaCommandRecord& rec) {
    rec.Time &= 7;
    if (rec.Protocol >= PR_PIO_READ && rec.Protocol <= PR_PIO_WR_Q_DRDY) {
        rec.SC = static_cast<std::uint8_t>(1 + (rec.SC & 7));
        rec.SC1 = 0;
    }
    if (rec.DataLen > 4096 && rec.DataLen <= kMaxCommandBuffer)
        rec.DataLen &= 0xFFF;
}

} // namespace zkv
