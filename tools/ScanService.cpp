#include "tools/ScanService.h"

#include <climits>
#include <string>
#include <thread>

namespace zkv {

ScanService::ScanService(DeviceSource device, ITechnicianLink* link, IMainThread& main)
    : device_(std::move(device)), link_(link), main_(main) {}

ScanService::~ScanService() {
    RequestStop();
    WaitForEnd();
    thread_.reset();
}

bool ScanService::StartScan(std::span<const std::uint8_t> bytes, std::int32_t destination) {
    refusal_.clear();
    // One scan at a time: the running one goes on.
    if (active_) {
        refusal_ = "A surface scan is already running.";
        return false;
    }
    ScanSurfaceParams p;
    if (!p.Decode(bytes)) {
        refusal_ = "The scan parameters are shorter than 56 bytes.";
        return false;
    }
    // An empty or negative range would divide by zero in the percentage and address nothing;
    // a range past the 32-bit start would overflow it.
    if (p.count <= 0 || p.start < 0 || std::int64_t{p.start} + p.count > INT32_MAX) {
        refusal_ = "The scan range is empty or lies outside sectors 0 to 2147483646.";
        return false;
    }
    // 28-bit commands carry sector numbers below 2^28 only: a higher one would wrap.
    if (!p.Has(SCAN_LBA48) && std::int64_t{p.start} + p.count > kScanLimit28) {
        refusal_ = "A 28-bit scan reaches sectors below 268435456 (2^28) only; sectors " +
                   std::to_string(p.start) + " to " +
                   std::to_string(std::int64_t{p.start} + p.count - 1) +
                   " need a 48-bit scan (SCAN_LBA48).";
        return false;
    }
    TControllerInfo* dev = device_ ? device_() : nullptr;
    if (!dev) {
        refusal_ = "No drive has been chosen.";
        return false;
    }
    if (thread_) { // the previous scan has ended; its thread is only returning
        thread_->Join();
        thread_.reset();
    }
    if (p.attempts < 1)
        p.attempts = 1;
    dev_ = dev;

    // Caching would hide the surface: off for the scan when the drive has it on.
    const DeviceID& id = dev->Globals().CurrentId;
    AtaCommandRecord rec;
    if (id.WriteCacheSupported() && id.WriteCacheEnabled()) {
        dev->Globals().fCriticalATAError = false;
        dev->SetFeatures(rec, 0x82);
        writeCacheOff_ = true;
    }
    if (id.LookAheadSupported() && id.LookAheadEnabled()) {
        dev->Globals().fCriticalATAError = false;
        dev->SetFeatures(rec, 0x55);
        lookAheadOff_ = true;
    }

    sliceCounter_ = 0;
    sendList_.clear();
    destination_ = destination;
    reportPeriod_ = p.reportPeriod;
    stopRequested_ = false;
    p.blockSize = p.Has(SCAN_LBA48) ? kScanBlock48 : kScanBlock28;
    model_.Reset(p, NowDays());
    dev->Flags().ClearOperationStopped();

    ScanThread::Handlers h;
    h.batch = [this](std::vector<ScanSurfaceResult>& batch, bool over) { OnBatch(batch, over); };
    h.ended = [this](bool aborted) { OnEnded(aborted); };
    thread_ = std::make_unique<ScanThread>(*dev, p, main_, std::move(h));
    active_ = true;
    if (observer_)
        observer_->ScanStarted();
    thread_->Start();
    return true;
}

void ScanService::RequestStop() {
    if (thread_ && active_) {
        stopRequested_ = true;
        thread_->Terminate();
    }
}

bool ScanService::WaitForEnd(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (active_) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        main_.ProcessEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (thread_)
        thread_->Join();
    return true;
}

void ScanService::OnBatch(std::vector<ScanSurfaceResult>& batch, bool over) {
    model_.BatchUpdate(batch, NowDays());
    sendList_.insert(sendList_.end(), batch.begin(), batch.end());
    batch.clear();
    if (observer_)
        observer_->BatchDone();
    if (!over) {
        if (sliceCounter_ != reportPeriod_) {
            ++sliceCounter_;
            return;
        }
        sliceCounter_ = 0;
    }
    if (reportHook_)
        reportHook_();
    else
        SendCollected();
}

std::vector<std::uint8_t> ScanService::CollectedData() const {
    const bool over = !(thread_ && thread_->ParamsPresent());
    std::vector<std::uint8_t> data(1 + ScanSurfaceResult::kSize * sendList_.size());
    data[0] = over ? 1 : 0;
    std::uint8_t* p = data.data() + 1;
    for (const ScanSurfaceResult& r : sendList_) {
        r.EncodeTo(p);
        p += ScanSurfaceResult::kSize;
    }
    return data;
}

bool ScanService::SendCollected() {
    std::vector<std::uint8_t> data = CollectedData();
    sendList_.clear();
    // To whoever started the scan, also when others sent commands meanwhile.
    return link_ && link_->SendToTechnicianAt(CMD_SHOW_SCAN, data, destination_);
}

void ScanService::OnEnded(bool aborted) {
    AtaCommandRecord rec;
    if (writeCacheOff_ && dev_) {
        dev_->Globals().fCriticalATAError = false;
        dev_->SetFeatures(rec, 0x02);
    }
    writeCacheOff_ = false;
    if (lookAheadOff_ && dev_) {
        dev_->Globals().fCriticalATAError = false;
        dev_->SetFeatures(rec, 0xAA);
    }
    lookAheadOff_ = false;
    model_.ScanEnded();
    lastStopped_ = aborted || stopRequested_ || (thread_ && thread_->ResetTimedOut()) ||
                   model_.Statistics().processedSectors < model_.Statistics().totalSectors;
    if (observer_)
        observer_->ScanEnded();
    active_ = false;
    // Whoever raised AbortRequest waits for this, also when the scan ended on its own meanwhile.
    if (dev_ && (aborted || dev_->Flags().AbortRequest()))
        dev_->Flags().SetOperationStopped();
}

} // namespace zkv
