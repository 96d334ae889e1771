// The work form's side of the chosen channel: it owns the ChannelSession, answers the
// detection's needs with the window's log, progress bar, name panel and status timer, opens the
// selection form (or chooses by --controller), and gives the channels back when the window
// closes.
#pragma once

#include "controllers/ChannelSession.h"
#include "controllers/HddDetection.h"

#include <memory>
#include <string>

namespace zkv {

class IMessageDialog;
class IPowerControl;
class TfrmWorkForm;
struct WorkFormStartup;

class TWorkFormChannels final : public IDetectionHost {
public:
    TWorkFormChannels(TfrmWorkForm& form, const WorkFormStartup& startup,
                      IPowerControl* power = nullptr);
    ~TWorkFormChannels() override;

    // StartConnect's first step: 1 when the channel is ready (detected now or before).
    int DetectIfNeeded();
    // When the window closes.
    void GiveBack(bool announced = false);
    // tmrCheckHDD: the chosen channel's status and error registers on the lamps.
    void CheckHdd();
    // The channel for the protocol engine; nullptr when the hardware could not be had.
    ChannelSession* Session() { return session_.get(); }

    // IDetectionHost
    void Log(const std::string& raw) override;
    void ShowProgress(int value) override;
    void ShowDriveName(const std::string& model) override;
    void StartStatusTimer() override;
    void ChooseChannel(TClassInfoList& list, TChannelChoice& outcome) override;
    bool WasReboot() override;
    void SetRebootPending(bool on) override;
    void CloseMainWindow() override;
    void SetBusyCursor(bool on) override;

private:
    TfrmWorkForm& form_;
    std::unique_ptr<ChannelSession> session_;
    std::string controllerKey_;
    bool detecting_ = false;
    bool busy_ = false;
};

} // namespace zkv
