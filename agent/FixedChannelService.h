// A channel service over one device that the owner built itself: a test's simulated channel,
// a command-line tool's channel, or the work window's interim channel until the controller
// list and the detection choose one. Its drive record comes from an IDENTIFY DEVICE of the
// master; it has no controller list to report.
#pragma once

#include "agent/TechnicianServices.h"
#include "ata/DeviceId.h"
#include "ata/HDCDevice.h"

namespace zkv {

class FixedChannelService final : public IChannelService {
public:
    // Identifies the master on `dev` (which may be null) for the drive record.
    void SetDevice(TControllerInfo* dev) {
        dev_ = dev;
        drive_.Clear();
        if (dev_ && dev_->IdentifyDevice(drive_) != 0)
            drive_.Clear();
    }
    TControllerInfo* CurrentDevice() override { return dev_; }
    const DriveInfo& ChosenDrive() override { return drive_; }
    bool WriteControllerStream(std::vector<std::uint8_t>& out) override {
        out.clear();
        return true;
    }

private:
    TControllerInfo* dev_ = nullptr;
    DriveInfo drive_;
};

} // namespace zkv
