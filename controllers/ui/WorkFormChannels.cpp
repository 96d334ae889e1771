#include "controllers/ui/WorkFormChannels.h"

#include "app/TfrmWorkForm.h"
#include "controllers/ui/TfrmController.h"
#include "helper/HelperDeviceSetup.h"
#include "support/ClientSettings.h"
#include "tools/MessageDialog.h"

#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

namespace zkv {

TWorkFormChannels::TWorkFormChannels(TfrmWorkForm& form, const WorkFormStartup& startup,
                                     IPowerControl* power)
    : form_(form), controllerKey_(startup.controller) {
    ChannelSessionOptions o;
    o.hardware = startup.hardware;
    o.userSetup = startup.dataDir.UserSetup();
    o.controllerKey = startup.controller;
    // The disk helper holds the hardware: the channels are its, and so is every engine
    // operation on them.
    if (helper::DiskHelperClient* h = form.DiskHelper()) {
        h->abortRequested = [] { return SharedFlags::Instance().AbortRequest(); };
        o.remote = helper::HelperChannels(*h);
    }
    std::string error;
    session_ = ChannelSession::Create(o, *this, power, error);
    if (!session_)
        Log("The controller list cannot be made: " + error);
    else
        session_->Detection().pumpEvents = [] { QApplication::processEvents(); };
}

TWorkFormChannels::~TWorkFormChannels() {
    session_.reset();
}

int TWorkFormChannels::DetectIfNeeded() {
    if (!session_ || detecting_)
        return 0;
    detecting_ = true;
    const int r = session_->DetectIfNeeded();
    detecting_ = false;
    return r;
}

void TWorkFormChannels::GiveBack(bool announced) {
    if (session_)
        session_->GiveBack(announced);
}

void TWorkFormChannels::CheckHdd() {
    TControllerInfo* dev = session_ ? session_->CurrentDevice() : nullptr;
    if (!dev || !dev->Flags().DeviceReady())
        return;
    AtaCommandRecord rec;
    dev->ReadStatus(rec);
    form_.ShowAtaRegisters(rec.SR, rec.ER);
}

void TWorkFormChannels::Log(const std::string& raw) {
    // The log is HTML; these texts are plain and carry what drives and mount tables say.
    std::string text;
    for (char c : raw) {
        if (c == '<')
            text += "&lt;";
        else if (c == '>')
            text += "&gt;";
        else if (c == '&')
            text += "&amp;";
        else
            text += c;
    }
    // The log shows one line per line of the message.
    std::string line;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty() || i < text.size())
                form_.AddLogText(line, true);
            line.clear();
        } else {
            line += text[i];
        }
    }
}

void TWorkFormChannels::ShowProgress(int value) {
    if (value < 0) {
        form_.ProgressBar->hide();
        return;
    }
    form_.ProgressBar->setValue(value);
    form_.ProgressBar->show();
}

void TWorkFormChannels::ShowDriveName(const std::string& model) {
    form_.pnlName->setText(QString::fromStdString(model));
}

void TWorkFormChannels::StartStatusTimer() {
    form_.tmrCheckHDD->start();
}

void TWorkFormChannels::ChooseChannel(TClassInfoList& list, TChannelChoice& outcome) {
    if (!controllerKey_.empty()) {
        session_->ChooseByKey(controllerKey_, outcome);
        return;
    }
    TfrmController::Choose(
        &list, outcome, [this](const std::string& t) { Log(t); }, &form_);
}

bool TWorkFormChannels::WasReboot() {
    return form_.Settings().WasReboot;
}

void TWorkFormChannels::SetRebootPending(bool on) {
    form_.Settings().WasReboot = on;
}

void TWorkFormChannels::CloseMainWindow() {
    QTimer::singleShot(0, &form_, [f = &form_] { f->close(); });
}

void TWorkFormChannels::SetBusyCursor(bool on) {
    if (on == busy_)
        return;
    busy_ = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

} // namespace zkv
