// TfrmWorkForm: what the window adds for the technician's work. The ATA worker and its
// completion, the register poll, the services the protocol engine hands work to, power control,
// --unattended, and the run-once entry that a start removes.
#include "app/TfrmWorkForm.h"

#include "agent/ui/TerminalAndScreens.h"
#include "controllers/ui/WorkFormChannels.h"
#include "platform/LogindPowerControl.h"
#include "platform/RunOnce.h"
#include "sim/RecordingPowerControl.h"
#include "sim/SimHardwareJson.h"
#include "tools/MessageDialog.h"
#include "tools/ui/QtMainThread.h"
#include "tools/ui/SafeBrowser.h"
#include "tools/ui/TfrmScanView.h"

#include "tools/WizFormData.h"
#include <cstdio>

namespace zkv {

void TfrmWorkForm::SetUpTechnicianWork() {
    mainThread_ = std::make_unique<QtMainThread>();
    // A restart the technician asked for brought us here: the entry has done its work.
    RemoveRunOnce();

    // Without a person every question gets its default answer, logged in the window and on
    // standard error. A dialog installed before (a test's) stays.
    if (startup_.unattended && !MessageDialogInstalled()) {
        unattendedDialog_ =
            std::make_unique<UnattendedMessageDialog>([this](const std::string& line) {
                std::fprintf(stderr, "zelkova-user-client: %s\n", line.c_str());
                if (wbLog)
                    AddLogText(line, true);
            });
        previousDialog_ = SetMessageDialog(unattendedDialog_.get());
    }
    // Links that are not opened (not http or https) are told in the log.
    SetLinkLog(this, [this](const std::string& line) {
        if (wbLog)
            AddLogText(line, true);
    });

    // A lab never switches its computer off: with simulated hardware the request is recorded
    // and refused, or accepted when the lab's file says so ("restart": "accepted"), which lets
    // the restart sequence run to its end.
    if (startup_.hardware.rfind("sim:", 0) == 0) {
        auto recording = std::make_unique<RecordingPowerControl>();
        bool accepted = false;
        try {
            accepted = LoadSimHardware(startup_.hardware.substr(4)).restartAccepted;
        } catch (const std::exception&) {
            // The channel's own start-up tells what is wrong with the file.
        }
        if (!accepted)
            recording->Answer(false,
                              "the simulated lab does not restart or switch off the computer");
        power_ = std::move(recording);
    } else {
        power_ = std::make_unique<LogindPowerControl>();
    }
    connect(tmrCheckHDD, &QTimer::timeout, this, &TfrmWorkForm::tmrCheckHDDTimer);
    closeHooks.endAtaWorker = [this] {
        if (ataThread_)
            ataThread_->Stop();
    };
    closeHooks.closeComPort = [this] {
        if (terminalAndScreens_ && terminalAndScreens_->Services().comPort)
            terminalAndScreens_->Services().comPort->Close();
    };
}

IChannelService& TfrmWorkForm::Channel() {
    if (channels_ && channels_->Session())
        return *channels_->Session();
    return noChannel_;
}

TControllerInfo* TfrmWorkForm::ChannelDevice() {
    return Channel().CurrentDevice();
}

void TfrmWorkForm::TearDownTechnicianWork() {
    tmrCheckHDD->stop();
    if (ataThread_)
        ataThread_->Stop();
    if (unattendedDialog_)
        SetMessageDialog(previousDialog_);
    ClearLinkLog(this);
}

UserClientSocket& TfrmWorkForm::EnsureEngine() {
    if (!engine_) {
        engine_ = std::make_unique<UserClientSocket>(*this, user_, settings_, startup_.dataDir);
        TechnicianServices services;
        services.channel = &Channel();
        services.power = power_.get();
        services.scan = &scan_->Service();
        if (terminalAndScreens_) {
            services.comPort = terminalAndScreens_->Services().comPort;
            services.screens = terminalAndScreens_->Services().screens;
        }
        engine_->SetServices(services);
        scan_->SetLink(engine_.get());
        engine_->SetMainThread(mainThread_.get());
        engine_->SetAtaWorker(ataThread_.get());
    }
    return *engine_;
}

bool TfrmWorkForm::DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) {
    if (!ataThread_) {
        ataThread_ = std::make_unique<ATAThread>(
            *this, [this] { return ChannelDevice(); }, *mainThread_);
        ataThread_->Socket().SetWizardHook(ShowWizardForm);
        EnsureEngine().SetAtaWorker(ataThread_.get());
    }
    ataThread_->Deliver(std::move(packet));
    return true;
}

void TfrmWorkForm::tmrCheckHDDTimer() {
    TControllerInfo* dev = ChannelDevice();
    // The worker owns the task file while a batch runs, the scan while it scans.
    if (!RegisterPollDue(dev != nullptr, SharedFlags::Instance().DeviceReady(),
                         ataThread_ && ataThread_->Busy(), scan_ && scan_->Service().ScanRunning()))
        return;
    AtaCommandRecord rec;
    dev->ReadStatus(rec);
    ShowAtaRegisters(rec.SR, rec.ER);
}

} // namespace zkv
