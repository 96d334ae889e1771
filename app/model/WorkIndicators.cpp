#include "app/model/WorkIndicators.h"

#include <algorithm>

namespace zkv {

bool RegisterPollDue(bool haveDevice, bool deviceReady, bool workerBusy, bool scanRunning) {
    return haveDevice && deviceReady && !workerBusy && !scanRunning;
}

void WorkIndicators::ShowRegisters(std::uint8_t status, std::uint8_t error) {
    status_ = status;
    error_ = error;
    lamps_ = LampColours(status, error);
    if (view_)
        view_->ShowLamps(lamps_);
}

void WorkIndicators::ShowProgress(bool showOrHide) {
    if (view_)
        view_->ShowProgress(progress_, showOrHide);
}

void WorkIndicators::ProgressStart() {
    sharedProgress = 0;
    progress_ = {true, 0, "0%"};
    ShowProgress(true);
}

void WorkIndicators::ProgressStep() {
    const int v = std::clamp(sharedProgress.load(), 0, 100);
    progress_.value = v;
    progress_.toolTip = std::to_string(v) + "%";
    ShowProgress(false);
}

void WorkIndicators::ProgressStep(int percent) {
    sharedProgress = percent;
    ProgressStep();
}

void WorkIndicators::ProgressStop() {
    progress_ = {false, 0, ""};
    ShowProgress(true);
}

void WorkIndicators::SetPendingLogLine(std::string line) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    pendingLogLine_ = std::move(line);
}

std::string WorkIndicators::PendingLogLine() const {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    return pendingLogLine_;
}

} // namespace zkv
