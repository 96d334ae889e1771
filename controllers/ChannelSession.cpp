#include "controllers/ChannelSession.h"

#include "controllers/ControllerFormModel.h"
#include "support/IniFile.h"
#include "tools/MessageDialog.h"

namespace zkv {

std::unique_ptr<ChannelSession> ChannelSession::Create(const ChannelSessionOptions& options,
                                                       IDetectionHost& host, IPowerControl* power,
                                                       std::string& error) {
    std::unique_ptr<ChannelSession> s(new ChannelSession);
    if (options.remote.setup) {
        s->hardware_ = ChannelHardware::Remote(options.remote.setup());
    } else {
        s->hardware_ = ChannelHardware::Open(options.hardware, error);
        if (!s->hardware_)
            return nullptr;
        std::string portError;
        if (!s->hardware_->OpenPorts(portError))
            host.Log("No port access: " + portError);
    }
    s->options_ = options;
    s->host_ = &host;
    s->list_ =
        std::make_unique<TClassInfoList>(s->hardware_->Setup(), s->hardware_->Port(),
                                         s->hardware_->Clock(), s->hardware_->PassThroughOpener());
    if (options.remote.engine)
        s->list_->SetEngineMaker(options.remote.engine);
    IniFile ini(options.userSetup);
    ini.Load();
    s->list_->LoadEntrySettings(ini);
    s->detection_ = std::make_unique<THddDetection>(*s->list_, host, options.userSetup, power);
    return s;
}

ChannelSession::~ChannelSession() {
    // The detection thread may still use the list.
    detection_.reset();
}

int ChannelSession::DetectIfNeeded() {
    return HddDetected() ? 1 : DetectHDD();
}

int ChannelSession::DetectHDD() {
    return detection_->DetectHDD();
}

void ChannelSession::ChooseByKey(const std::string& key, TChannelChoice& outcome) {
    TControllerFormModel model(list_.get(), outcome,
                               [this](const std::string& t) { host_->Log(t); });
    TControllerInfo* entry = list_->FindByKey(key);
    if (!entry) {
        outcome.Clear();
        outcome.SetMessage("Wrong controller address.");
        host_->Log("No controller entry " + key + ".");
        return;
    }
    // Without the form there is no other entry to choose: a refusal stands as it is.
    model.Detect(entry);
}

void ChannelSession::GiveBack(bool announced) {
    if (givenBack_)
        return;
    givenBack_ = true;
    // A detection still under way (the window closed from inside it) ends first.
    detection_->Cancel();
    if (host_->WasReboot()) {
        // The channel stays taken for the run after the reboot. A run that chose nothing
        // leaves the stored choice alone.
        if (detection_->Chosen())
            detection_->SaveSettings();
        return;
    }
    if (!announced)
        host_->Log("Trying to enable chosen IDE channel.");
    bool restart = false;
    const int failed = list_->EnableMyChannels(restart);
    if (failed > 0)
        host_->Log("Could not give the chosen IDE channel back to the system.");
    // The marks of channels given back are cleared; those that failed stay for the next run.
    // The stored choice stays as the detection wrote it.
    IniFile ini(options_.userSetup);
    ini.Load();
    list_->SaveEntrySettings(ini);
    ini.Save();
    if (restart)
        ShowMessageDlg("Reboot computer now to finish enabling chosen channel.",
                       MsgDlgType::Information, mb::OK);
}

TControllerInfo* ChannelSession::CurrentDevice() {
    return HddDetected() ? list_->Engine(list_->CurrentDevice()) : nullptr;
}

bool ChannelSession::WriteControllerStream(std::vector<std::uint8_t>& out) {
    return list_->WriteToStream(out);
}

} // namespace zkv
