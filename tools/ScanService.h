// The surface scan as the technician's service: starts and stops the scan thread, owns the
// view model and the results not yet sent, and sends them as CMD_SHOW_SCAN.
//
// Everything here runs on the main thread; the scan thread reaches it only through synchronised
// calls (IMainThread::Invoke) at the end of each slice and at its end.
#pragma once

#include "agent/TechnicianServices.h"
#include "ata/HDCDevice.h"
#include "platform/MainThread.h"
#include "tools/ScanResultModel.h"
#include "tools/ScanThread.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace zkv {

// What the scan view does around a scan (all on the main thread).
class IScanObserver {
public:
    virtual ~IScanObserver() = default;
    // The scan started: the model was reset; show the view.
    virtual void ScanStarted() {}
    // A batch was processed into the model: repaint once.
    virtual void BatchDone() {}
    // The end handler ran.
    virtual void ScanEnded() {}
};

class ScanService final : public IScanService {
public:
    using DeviceSource = std::function<TControllerInfo*()>;

    // `device` gives the chosen channel's device (nullptr: no scan can start); results go
    // through `link` (may be nullptr: they are dropped).
    ScanService(DeviceSource device, ITechnicianLink* link, IMainThread& main = MainThread());
    // Stops a running scan and waits for its thread.
    ~ScanService() override;

    // --- IScanService ---
    // True from a successful start until the end handler has run.
    bool ScanRunning() const override { return active_; }
    // Refused (false, nothing started) unless the record holds 56 bytes (more are ignored)
    // with count > 0, start >= 0 and a range inside the 32-bit address, a device is there,
    // and no scan runs.
    // A 28-bit scan (no SCAN_LBA48) whose range passes sector 2^28 - 1 is refused too: its
    // addresses would wrap to the start of the disk.
    bool StartScan(std::span<const std::uint8_t> params, std::int32_t destination) override;
    std::string RefusalReason() const override { return refusal_; }
    void RequestStop() override;

    // Waits (processing the main thread's events) until a running scan has ended; false on
    // time-out.
    bool WaitForEnd(std::chrono::milliseconds timeout = std::chrono::hours(24));
    // Builds the CMD_SHOW_SCAN data from the collected results and sends it (what the work
    // form's message 1027 does). The collected list is emptied either way.
    bool SendCollected();
    // The CMD_SHOW_SCAN data for the collected results: byte 0 = scan over, then 36 bytes each.
    std::vector<std::uint8_t> CollectedData() const;

    void SetLink(ITechnicianLink* link) { link_ = link; }
    void SetDeviceSource(DeviceSource device) { device_ = std::move(device); }
    void SetObserver(IScanObserver* observer) { observer_ = observer; }
    // Replaces the direct SendCollected() when a report is due (the work form posts its 1027).
    void SetReportHook(std::function<void()> hook) { reportHook_ = std::move(hook); }

    const ScanViewModel& Model() const { return model_; }
    std::int32_t Destination() const { return destination_; }
    std::size_t CollectedCount() const { return sendList_.size(); }
    // How the last scan ended (valid once it has): stopped by a request, by AbortRequest or by
    // a reset of the drive that ran out of time.
    bool LastStopped() const { return lastStopped_; }

private:
    void OnBatch(std::vector<ScanSurfaceResult>& batch, bool over);
    void OnEnded(bool aborted);

    DeviceSource device_;
    ITechnicianLink* link_;
    IMainThread& main_;
    IScanObserver* observer_ = nullptr;
    std::function<void()> reportHook_;

    ScanViewModel model_;
    std::unique_ptr<ScanThread> thread_;
    TControllerInfo* dev_ = nullptr;
    std::atomic<bool> active_{false};
    std::vector<ScanSurfaceResult> sendList_;
    std::uint32_t sliceCounter_ = 0;
    std::uint32_t reportPeriod_ = 0;
    std::int32_t destination_ = 0;
    bool writeCacheOff_ = false;
    bool lookAheadOff_ = false;
    std::atomic<bool> stopRequested_{false};
    bool lastStopped_ = false;
    std::string refusal_;
};

} // namespace zkv
