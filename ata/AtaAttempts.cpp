#include "ata/AtaAttempts.h"

#include "ata/AtaThread.h"
#include "ata/HDCDevice.h"
#include "support/SharedFlags.h"

namespace zkv {

std::vector<std::vector<std::uint8_t>>
RunCommandAttempts(TControllerInfo& dev, AtaCommandRecord& rec,
                   std::span<const std::uint8_t> written, AtaGlobals& globals,
                   const SharedFlags& flags, std::size_t& traceBudget) {
    std::vector<std::vector<std::uint8_t>> traces;
    const std::uint32_t attempts = rec.RepeatCnt == 0 ? 1 : rec.RepeatCnt;
    PrepareCommandBuffer(rec, written);
    const std::size_t bufferSize = rec.Buffer.size();
    const auto saved = rec.Encode();
    for (std::uint32_t k = 1; k <= attempts; ++k) {
        rec.DecodeFrom(saved.data());
        if (IsReadProtocol(rec.Protocol) && rec.Buffer.size() != bufferSize)
            rec.Buffer.resize(bufferSize);
        const bool logThis = rec.Has(WRITELOG) && kTraceBufferSize + 4 <= traceBudget;
        if (logThis) {
            std::vector<std::uint8_t> trace(kTraceBufferSize, 0);
            dev.Log().Attach(trace.data(), kTraceBufferSize);
            dev.ExecuteCommand(rec);
            trace.resize(dev.Log().BytesUsed());
            dev.Log().Attach(nullptr, 0);
            traceBudget -= trace.size() + 4;
            traces.push_back(std::move(trace));
        } else {
            dev.ExecuteCommand(rec);
        }
        if (rec.Result == ATA_OK) {
            rec.RepeatCnt = k;
            break;
        }
        if (globals.FailureStreak > 5 && !globals.fCriticalATAError && !rec.Has(IGNOREERRORS))
            globals.fCriticalATAError = true;
        // A reset or the end of the program cuts the repetitions short.
        if (flags.AbortRequest())
            break;
    }
    return traces;
}

} // namespace zkv
