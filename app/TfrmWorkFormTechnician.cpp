// TfrmWorkForm: what the window adds for the technician's work. The ATA worker and its
// completion, the register poll, the services the protocol engine hands work to, power control,
// --unattended, and the run-once entry that a start removes.
#include "app/TfrmWorkForm.h"

#include "platform/LogindPowerControl.h"
#include "platform/RunOnce.h"
#include "sim/RecordingPowerControl.h"
#include "sim/SimHardwareJson.h"
#include "sim/SimIde.h"
#include "tools/WizFormData.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace zkv {

namespace {

// Synchronised calls into the window's thread: a blocking queued invocation from other
// threads, a direct call on the window's own.
class WorkFormMainThread final : public IMainThread {
public:
    explicit WorkFormMainThread(QObject* context) : context_(context) {}
    void Invoke(const std::function<void()>& fn) override {
        if (QThread::currentThread() == context_->thread())
            fn();
        else
            QMetaObject::invokeMethod(
                context_, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
    }
    void ProcessEvents() override { QCoreApplication::processEvents(); }

private:
    QObject* context_;
};

} // namespace

void TfrmWorkForm::SetUpTechnicianWork() {
    mainThread_ = std::make_unique<WorkFormMainThread>(this);
    // A restart the technician asked for brought us here: the entry has done its work.
    RemoveRunOnce();

    if (startup_.unattended) {
        unattendedDialog_ = std::make_unique<UnattendedMessageDialog>(
            [this](const std::string& line) { AddLogText(line, true); });
        previousDialog_ = SetMessageDialog(unattendedDialog_.get());
    }

    // The interim channel: until the controller list and the detection choose one, simulated
    // hardware gives channel 0 of its description, and real hardware no channel at all.
    const std::string simPrefix = "sim:";
    if (startup_.hardware.rfind(simPrefix, 0) == 0) {
        try {
            SimHardwareConfig cfg = LoadSimHardware(startup_.hardware.substr(simPrefix.size()));
            if (!cfg.channels.empty()) {
                auto hw = std::make_unique<SimIdeHardware>(cfg);
                const SimChannelConfig& ch = cfg.channels.front();
                channelDevice_ = std::make_unique<THDCDevice>(
                    *hw, hw->Clock(),
                    std::vector<IoRange>{
                        {ch.commandBlock, static_cast<std::uint32_t>(ch.commandBlock + 7)},
                        {ch.controlBlock, ch.controlBlock}});
                simHardware_ = std::move(hw);
                channel_.SetDevice(channelDevice_.get());
            }
        } catch (const std::exception& e) {
            AddLogText(std::string("The simulated hardware cannot be used: ") + e.what(), true);
        }
        // A lab never switches its computer off: the request is recorded and refused.
        auto recording = std::make_unique<RecordingPowerControl>();
        recording->Answer(false, "the simulated lab does not restart or switch off the computer");
        power_ = std::move(recording);
    } else {
        power_ = std::make_unique<LogindPowerControl>();
    }
    connect(tmrCheckHDD, &QTimer::timeout, this, &TfrmWorkForm::tmrCheckHDDTimer);
    if (channel_.CurrentDevice())
        tmrCheckHDD->start();
}

void TfrmWorkForm::TearDownTechnicianWork() {
    tmrCheckHDD->stop();
    if (ataThread_)
        ataThread_->Stop();
    if (unattendedDialog_)
        SetMessageDialog(previousDialog_);
}

UserClientSocket& TfrmWorkForm::EnsureEngine() {
    if (!engine_) {
        engine_ = std::make_unique<UserClientSocket>(*this, user_, settings_, startup_.dataDir);
        TechnicianServices services;
        services.channel = &channel_;
        services.power = power_.get();
        engine_->SetServices(services);
        engine_->SetMainThread(mainThread_.get());
        engine_->SetAtaWorker(ataThread_.get());
    }
    return *engine_;
}

bool TfrmWorkForm::DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) {
    if (!ataThread_) {
        ataThread_ = std::make_unique<ATAThread>(
            *this, [this] { return channel_.CurrentDevice(); }, *mainThread_);
        ataThread_->Socket().SetWizardHook(ShowWizardForm);
        EnsureEngine().SetAtaWorker(ataThread_.get());
    }
    ataThread_->Deliver(std::move(packet));
    return true;
}

void TfrmWorkForm::AtaProgressStep(int percent) {
    sharedProgress = percent;
    ProgressStep();
}

void TfrmWorkForm::SetTechnicianAttached(bool on) {
    technicianAttached_ = on;
    detailedLogging_ = on;
}

void TfrmWorkForm::tmrCheckHDDTimer() {
    THDCDevice* dev = channel_.CurrentDevice();
    // The worker owns the task file while a batch runs; the lamps catch up on the next tick.
    if (!dev || !SharedFlags::Instance().DeviceReady() || (ataThread_ && ataThread_->Busy()))
        return;
    AtaCommandRecord rec;
    dev->ReadStatus(rec);
    ShowAtaRegisters(rec.SR, rec.ER);
}

void TfrmWorkForm::SendJumperAnswer(long kind, long answer) {
    if (!engine_)
        return;
    std::string text = JumperAnswerText(kind, answer, jumperVendorText_);
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    engine_->SendToTechnician(CMD_SHOW_LOG, bytes);
}

} // namespace zkv
