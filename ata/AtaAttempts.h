// The attempts of one ATA command: what runs a technician's command on a channel, in the client's
// ATA worker as in the disk helper, so that both answer alike.
#pragma once

#include "ata/AtaCommandRecord.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zkv {

class TControllerInfo;
class SharedFlags;
struct AtaGlobals;

// Runs `rec` on `dev` up to RepeatCnt times (once when 0) until an attempt succeeds; the
// successful attempt's number is left in RepeatCnt. Each attempt starts from the record as given,
// with the buffer PrepareCommandBuffer makes of it and `written` (the data of a write). A failure
// with the streak past five raises the critical-error flag (unless the record ignores errors);
// the abort request cuts the repetitions short. With WRITELOG each attempt is traced while a
// whole trace buffer (and its 4-byte length) still fits in `traceBudget`, which shrinks by what
// the traces take. Returns the traces, one an attempt traced.
std::vector<std::vector<std::uint8_t>>
RunCommandAttempts(TControllerInfo& dev, AtaCommandRecord& rec,
                   std::span<const std::uint8_t> written, AtaGlobals& globals,
                   const SharedFlags& flags, std::size_t& traceBudget);

} // namespace zkv
