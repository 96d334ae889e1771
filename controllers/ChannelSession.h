// The chosen channel for the life of one client run, without widgets: the controller list
// over the hardware, the detection, the choice by --controller, the give-back at exit, and the
// engine's view of the channel (IChannelService).
//
// The window creates one at start, calls DetectHDD from StartConnect while no drive has been
// detected, and GiveBack when it closes (also on SIGTERM, SIGINT and SIGHUP). The marks in
// UserSetup.ini are read at start, so channels that a run ending in a crash had taken are given
// back when this run ends.
#pragma once

#include "agent/TechnicianServices.h"
#include "controllers/ChannelHardware.h"
#include "controllers/ControllerList.h"
#include "controllers/HddDetection.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace zkv {

struct ChannelSessionOptions {
    std::string hardware = "linux";
    std::filesystem::path userSetup; // UserSetup.ini
    std::string controllerKey;       // --controller: choose this entry without the form
    // Set when another process (the disk helper) holds the hardware: the list is built over
    // the device setup `setup` makes and each channel's engine is what `engine` makes for its
    // entry. `hardware` then only names what that process serves.
    struct Remote {
        std::function<std::unique_ptr<IDeviceSetup>()> setup;
        TClassInfoList::EngineMaker engine;
    } remote;
};

class ChannelSession final : public IChannelService {
public:
    // nullptr with `error` set when the hardware cannot be had.
    static std::unique_ptr<ChannelSession> Create(const ChannelSessionOptions& options,
                                                  IDetectionHost& host, IPowerControl* power,
                                                  std::string& error);
    ~ChannelSession() override;

    // StartConnect's step: the detection while no drive was detected, else 1 at once.
    int DetectIfNeeded();
    int DetectHDD();
    bool HddDetected() const { return detection_->Report().detected != 0; }
    // At exit: with a pending restart only the settings are saved (the channel stays taken);
    // otherwise every channel this or an earlier run took is given back. Runs once.
    // `announced`: the caller has logged "Trying to enable chosen IDE channel." already.
    void GiveBack(bool announced = false);
    // Chooses the entry by `key` the way the form's Detect button does; for --controller.
    void ChooseByKey(const std::string& key, TChannelChoice& outcome);

    TClassInfoList& List() { return *list_; }
    THddDetection& Detection() { return *detection_; }
    ChannelHardware& Hardware() { return *hardware_; }

    // IChannelService
    TControllerInfo* CurrentDevice() override;
    const DriveInfo& ChosenDrive() override { return detection_->Report(); }
    bool WriteControllerStream(std::vector<std::uint8_t>& out) override;

private:
    ChannelSession() = default;
    std::unique_ptr<ChannelHardware> hardware_;
    std::unique_ptr<TClassInfoList> list_;
    std::unique_ptr<THddDetection> detection_;
    IDetectionHost* host_ = nullptr;
    ChannelSessionOptions options_;
    bool givenBack_ = false;
};

} // namespace zkv
