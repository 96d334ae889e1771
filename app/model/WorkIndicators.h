// What the work form shows of the drive and of the work on it, without a window: the sixteen
// register lamps, the progress of a batch (or a download), and the one log line a worker thread
// may leave for the main thread.
//
// The window is a view of it (IIndicatorView); every operation but SetPendingLogLine and the
// shared progress value runs on the main thread, as the ATA worker's host calls do.
#pragma once

#include "app/model/LampModel.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace zkv {

struct ProgressState {
    bool visible = false;
    int value = 0;       // 0..100
    std::string toolTip; // "42%", empty when hidden
};

class IIndicatorView {
public:
    virtual ~IIndicatorView() = default;
    virtual void ShowLamps(const std::array<LampColour, kLampCount>& colours) = 0;
    // `showOrHide`: the progress was started or stopped and its visibility applies; a step
    // leaves the visibility as it is.
    virtual void ShowProgress(const ProgressState& progress, bool showOrHide) = 0;
};

// The register poll reads the drive only when the reading cannot disturb anything: a drive is
// chosen and ready, the ATA worker holds no batch, no scan runs. Otherwise the lamps catch up
// on the next tick.
bool RegisterPollDue(bool haveDevice, bool deviceReady, bool workerBusy, bool scanRunning);

class WorkIndicators {
public:
    void SetView(IIndicatorView* view) { view_ = view; }

    // The lamps show the two registers.
    void ShowRegisters(std::uint8_t status, std::uint8_t error);
    const std::array<LampColour, kLampCount>& Lamps() const { return lamps_; }
    std::uint8_t Status() const { return status_; }
    std::uint8_t Error() const { return error_; }

    // The progress: Start shows it at 0, Step shows the shared value (clamped to 0..100), Stop
    // hides it. A worker thread may set `sharedProgress` and have the main thread call Step.
    std::atomic<int> sharedProgress{0};
    void ProgressStart();
    void ProgressStep();
    void ProgressStep(int percent);
    void ProgressStop();
    const ProgressState& Progress() const { return progress_; }

    // A line left by a worker thread for the main thread to log (the last one set wins).
    void SetPendingLogLine(std::string line);
    std::string PendingLogLine() const;

private:
    void ShowProgress(bool showOrHide);

    IIndicatorView* view_ = nullptr;
    std::array<LampColour, kLampCount> lamps_{};
    std::uint8_t status_ = 0;
    std::uint8_t error_ = 0;
    ProgressState progress_;
    mutable std::mutex pendingMutex_;
    std::string pendingLogLine_;
};

} // namespace zkv
