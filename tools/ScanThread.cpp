#include "tools/ScanThread.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace zkv {

ScanThread::ScanThread(TControllerInfo& device, const ScanSurfaceParams& params, IMainThread& main,
                       Handlers handlers)
    : dev_(device), main_(main), handlers_(std::move(handlers)), initial_(params) {
    flags_ = params.flags;
    attempts_ = std::max(params.attempts, 1);
    // With remapping the drive may take long on a bad sector: the time-out follows T6.
    const std::uint64_t timeout = (flags_ & SCAN_REMAP) ? std::uint64_t{params.timeout[5]} + 10
                                                        : std::uint64_t{params.commandTimeout};
    commandTimeout_ = static_cast<std::int32_t>(std::min<std::uint64_t>(timeout, INT32_MAX / 10));
    // One buffer for the scan: a whole block in the data-reading mode, a sector otherwise (with
    // room for READ LONG's check bytes).
    const std::size_t block = (flags_ & SCAN_READ_DATA) ? std::size_t(params.blockSize) * 512 : 0;
    rec_.Buffer.assign(std::max<std::size_t>(block, 1024), 0);
}

ScanThread::~ScanThread() {
    terminate_ = true;
    Join();
}

void ScanThread::Start() {
    thread_ = std::thread([this] { Run(); });
}

void ScanThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool ScanThread::Execute(ScanStep step, std::int64_t lba, std::int32_t count) {
    for (std::int32_t attempt = 0; attempt < attempts_ && !resetTimedOut_; ++attempt) {
        BuildScanCommand(rec_, step, lba, count, flags_, attempts_, commandTimeout_);
        if (step == ScanStep::Remap)
            std::memset(rec_.Buffer.data(), 0, 512);
        else if (step == ScanStep::Rewrite)
            std::memcpy(rec_.Buffer.data(), sector_.data(), 512);
        // One failed command must not make the engine refuse the following ones.
        dev_.Globals().fCriticalATAError = false;
        dev_.ExecuteCommand(rec_);
        if (rec_.Result == ATA_OK)
            return true;
        if (dev_.Globals().fCriticalATAError) {
            // Only a reset that ran out of time sets it here: the scan stops as on a stop
            // request rather than reset the drive again for every block.
            resetTimedOut_ = true;
            terminate_ = true;
        }
    }
    return false;
}

void ScanThread::Repair(ScanSurfaceResult& r, const ScanSurfaceParams& cur) {
    sector_.fill(0);
    if ((flags_ & SCAN_WRITE) && (flags_ & SCAN_READ_LONG) && !(flags_ & SCAN_LBA48) &&
        (r.status & 0x01) && (r.error & 0x40)) {
        if (Execute(ScanStep::ReadLong, cur.start, 1) && rec_.DataLen >= 512)
            std::memcpy(sector_.data(), rec_.Buffer.data(), 512);
    }
    if ((flags_ & SCAN_REMAP) && cur.start < kRemapLimit) {
        r.resultFlags |= RES_REMAP_DONE;
        if (!Execute(ScanStep::Remap, cur.start, 1))
            r.resultFlags |= RES_REMAP_ERROR;
    }
    if ((flags_ & SCAN_WRITE) && !resetTimedOut_) {
        r.resultFlags |= RES_WRITE_DONE;
        if (!Execute(ScanStep::Rewrite, cur.start, 1)) {
            r.resultFlags |= RES_WRITE_ERROR;
            return; // no control read after a failed rewrite
        }
        r.resultFlags |= RES_CTLREAD_DONE;
        if (!Execute(ScanStep::ControlRead, cur.start, static_cast<std::int32_t>(r.sectors)))
            r.resultFlags |= RES_CTLREAD_ERROR;
    }
}

void ScanThread::HandOver(bool over) {
    if (over)
        paramsPresent_ = false;
    main_.Invoke([&] {
        if (handlers_.batch)
            handlers_.batch(batch_, over);
    });
    batch_.clear();
}

void ScanThread::Run() {
    ScanSurfaceParams cur = initial_;
    bool aborted = false;
    TimeBase& clock = dev_.Clock();
    const TimeValues& tv = dev_.Times();
    std::vector<ScanSurfaceParams> pending; // ranges to go back to, last in first out

    Execute(ScanStep::Seek, cur.start, 0); // the outcome does not matter

    bool present = true;
    while (present) {
        const std::uint64_t sliceStart = clock.Now();
        for (;;) {
            if (dev_.Flags().AbortRequest()) {
                aborted = true;
                present = false;
                break;
            }
            if (terminate_) {
                present = false;
                break;
            }
            ScanSurfaceResult r;
            const std::int32_t n = std::min(cur.blockSize, cur.count);
            const bool ok = Execute(ScanStep::Verify, cur.start, n);
            r.resultFlags = RES_VERIFY_DONE;
            r.lba = cur.start;
            r.sectors = n;
            r.timeMs = static_cast<std::uint32_t>(rec_.Time);
            r.status = rec_.SR;
            r.error = rec_.ER;
            r.code = static_cast<std::uint32_t>(rec_.Result);
            if (!ok)
                r.resultFlags |= RES_VERIFY_ERROR;
            if (resetTimedOut_) {
                // Reported as it is, not narrowed: the drive no longer answers.
                batch_.push_back(r);
                present = false;
                break;
            }

            if (!ok && (cur.blockSize == kScanBlock48 || cur.blockSize == kScanBlock28)) {
                // Re-check this block in smaller pieces, then go on with the rest of the range.
                ScanSurfaceParams narrow = cur;
                narrow.count = n;
                narrow.blockSize = cur.blockSize == kScanBlock48 ? kScanBlock28 : 1;
                cur.start += n;
                cur.count -= n;
                pending.push_back(cur);
                cur = narrow;
            } else {
                if (!ok)
                    Repair(r, cur);
                batch_.push_back(r);
                cur.start += n;
                cur.count -= n;
                while (cur.count == 0 && !pending.empty()) {
                    cur = pending.back();
                    pending.pop_back();
                }
            }
            if (cur.count == 0 || ElapsedMs(tv, sliceStart, clock.Now()) >= cur.sliceMs)
                break;
        }
        if (present && cur.count == 0)
            present = false; // the range is complete
        HandOver(!present);
    }
    main_.Invoke([&] {
        if (handlers_.ended)
            handlers_.ended(aborted);
    });
    finished_ = true;
}

} // namespace zkv
