#include "app/TfrmWorkForm.h"
#include "controllers/ui/WorkFormChannels.h"
#include "support/Version.h"

#include "agent/ui/TerminalAndScreens.h"

#include "app/Pictures.h"
#include "app/TfrmMainForm.h"
#include "app/model/LampModel.h"
#include "app/model/SessionLog.h"
#include "app/model/SessionRules.h"
#include "app/model/WorkFormRules.h"
#include "helper/HelperLaunch.h"
#include "platform/InstanceLock.h"
#include "platform/Spawn.h"
#include "support/IniFile.h"
#include "support/Termination.h"
#include "tools/MessageDialog.h"
#include "tools/UpdateHandOver.h"
#include "tools/UpdatePackage.h"
#include "tools/VersionUpdate.h"
#include "tools/ui/QtMainThread.h"
#include "tools/ui/SafeBrowser.h"
#include "tools/ui/TfrmScanView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QThread>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <unistd.h>

namespace zkv {

namespace {

constexpr int kActivityPanelDesignHeight = 109;
constexpr const char* kLogBackground = "#A6CAF0";

} // namespace

void PostWorkFormMessage(QObject* form, int message, long wParam, long lParam) {
    QCoreApplication::postEvent(form, new TWorkFormMessage(message, wParam, lParam));
}

TfrmWorkForm::TfrmWorkForm(WorkFormStartup startup, QWidget* parent)
    : QMainWindow(parent), startup_(std::move(startup)) {
    qtMainThread_ = std::make_unique<ScopedQtMainThread>();
    SetUpConnection();
    indicators_.SetView(this);

    if (startup_.sessionLog)
        log_.AddSink(
            [log = startup_.sessionLog](const std::string& f, bool h) { log->Append(f, h); });
    log_.AddSink([this](const std::string& f, bool h) { WriteToBrowser(f, h); });

    SetUpTechnicianWork();
    BuildWindow();
    FormCreate();
    InstallTerminalAndScreens();
    if (!secondInstance_)
        RestorePlacement();

    // The surface scan: its window shows when a scan starts; due results leave through 1027.
    scan_ = std::make_unique<TScanSurfaceHost>();
    scan_->Service().SetReportHook([this] {
        TWorkFormMessage m(kMsgSendScan);
        QCoreApplication::sendEvent(this, &m);
    });
    closeHooks.scanRunning = [this] { return scan_ && scan_->Service().ScanRunning(); };
    closeHooks.stopScan = [this] { StopScan(); };
    scan_->SetDeviceSource([this]() -> TControllerInfo* { return ChannelDevice(); });
}

void TfrmWorkForm::StopScan() {
    if (scan_)
        scan_->StopScan();
}

void TfrmWorkForm::InstallTerminalAndScreens() {
    if (!terminalAndScreens_) {
        TerminalAndScreensSetup setup;
        setup.serialPorts = startup_.serialPorts;
        setup.unattended = startup_.unattended;
        setup.answerDelayMs = startup_.answerDelayMs;
        setup.toggleConnection = [this] { ToggleConnection(); };
        setup.collapseActivityPanel = [this] { CollapseActivityPanel(); };
        setup.onAnswer = [this](std::int32_t screen, std::uint8_t answer) {
            PostWorkFormMessage(this, kMsgJumperAnswer, screen, answer);
        };
        terminalAndScreens_ = std::make_unique<TTerminalAndScreens>(this, std::move(setup));
    }
}

TfrmWorkForm::~TfrmWorkForm() {
    TearDownTechnicianWork();
    // The engine lives on a little; the services it was given go first.
    if (engine_)
        engine_->SetServices({});
    scan_.reset(); // stops a running scan and waits for its thread
    // A version check still running may be waiting in a synchronised call: let it finish.
    closing_ = true;
    if (versionUpdate_) {
        versionUpdate_->RequestStop();
        while (!updateEnded_)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        versionUpdate_->Join();
    }
    // No events into a half-destroyed window.
    ClientSocket->disconnect(this);
    ClientSocket->Close();
    if (channels_)
        channels_->GiveBack(); // once only: a closed window has given them back already
    // The cipher outlives the window: leave it on the built-in key, as after any disconnect.
    if (engine_)
        engine_->ConnectionClosed();
    TransportData::Global().UseBuiltinKey();
    terminalAndScreens_.reset();
}

void TfrmWorkForm::BuildWindow() {
    setWindowTitle("Zelkova User Client");
    setMinimumSize(470, 400);
    resize(720, 560);
    auto* central = new QWidget(this);
    auto* root = new QVBoxLayout(central);
    root->setContentsMargins(6, 6, 6, 4);
    root->setSpacing(6);

    // Top: the buttons on the left, the live-support page on the right.
    auto* top = new QHBoxLayout;
    btnProxySetting = new QPushButton("Back to Login", central);
    btnClear = new QPushButton("Clear Log", central);
    btnHelp = new QPushButton("Help", central);
    btnReconnect = new QPushButton("Connect", central);
    btnProxySetting->setObjectName("btnProxySetting");
    btnClear->setObjectName("btnClear");
    btnHelp->setObjectName("btnHelp");
    btnReconnect->setObjectName("btnReconnect");
    btnReconnect->setIconSize(QSize(20, 20));
    btnReconnect->setMinimumWidth(110);
    for (auto* b : {btnProxySetting, btnClear, btnHelp, btnReconnect})
        top->addWidget(b);
    top->addStretch(1);
    LiveSupportBrowser = new TSafeBrowser(central);
    LiveSupportBrowser->setObjectName("LiveSupportBrowser");
    LiveSupportBrowser->setFixedSize(230, 46);
    LiveSupportBrowser->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    LiveSupportBrowser->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(LiveSupportBrowser, &QTextBrowser::anchorClicked, this,
            [](const QUrl& url) { OpenLinkAsUser(url); });
    top->addWidget(LiveSupportBrowser);
    root->addLayout(top);

    connect(btnClear, &QPushButton::clicked, this, &TfrmWorkForm::ClearLog);
    connect(btnReconnect, &QPushButton::clicked, this, &TfrmWorkForm::ToggleConnection);
    connect(btnProxySetting, &QPushButton::clicked, this, &TfrmWorkForm::btnProxySettingClick);
    connect(btnHelp, &QPushButton::clicked, this, &TfrmWorkForm::btnHelpClick);

    // The activity panel, collapsed until a technician works on the drive.
    pnlMoveImg = new QWidget(central);
    pnlMoveImg->setObjectName("pnlMoveImg");
    auto* act = new QHBoxLayout(pnlMoveImg);
    act->setContentsMargins(4, 4, 4, 4);
    act->addWidget(new TActivityImage(pnlMoveImg));
    auto* actText = new QLabel("A technician is working with your drive.", pnlMoveImg);
    actText->setStyleSheet("font-weight: bold;");
    act->addWidget(actText, 1);
    SpeedButton1 = new QToolButton(pnlMoveImg);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setText("\u00d7");
    SpeedButton1->setToolTip("Hide");
    SpeedButton1->setAutoRaise(true);
    act->addWidget(SpeedButton1, 0, Qt::AlignTop);
    connect(SpeedButton1, &QToolButton::clicked, this, &TfrmWorkForm::CollapseActivityPanel);
    root->addWidget(pnlMoveImg);

    // The log.
    // The log shows what the service sends: only the program's own pictures load, and links
    // open through the desktop, http and https only.
    wbLog = new TSafeBrowser(central);
    wbLog->setObjectName("wbLog");
    connect(wbLog, &QTextBrowser::anchorClicked, this,
            [](const QUrl& url) { OpenLinkAsUser(url); });
    wbLog->setStyleSheet(
        QString("QTextBrowser { background: %1; color: black; }").arg(kLogBackground));
    QFont logFont("Arial");
    logFont.setStyleHint(QFont::SansSerif);
    logFont.setPointSize(10);
    wbLog->document()->setDefaultFont(logFont);
    root->addWidget(wbLog, 1);

    // The lamp strip: status register on the left, error register right-aligned.
    auto* strip = new QWidget(central);
    auto* lampRow = new QHBoxLayout(strip);
    lampRow->setContentsMargins(4, 2, 4, 2);
    lampRow->setSpacing(2);
    auto* statusCaption = new QLabel("Status:", strip);
    auto* errorCaption = new QLabel("Error:", strip);
    lampRow->addWidget(statusCaption);
    const auto& info = Lamps();
    for (std::size_t i = 0; i < kLampCount; ++i) {
        if (i == 8) {
            lampRow->addStretch(1);
            lampRow->addWidget(errorCaption);
        }
        lamps[i] = new TLampWidget(info[i].name, info[i].caption, strip);
        lampRow->addWidget(lamps[i]);
    }
    strip->setObjectName("pnlLamps");
    strip->setAutoFillBackground(true);
    root->addWidget(strip);
    setCentralWidget(central);

    // The status bar: balls, state text, drive name, connection time with the progress bar.
    auto* bar = statusBar();
    bar->setSizeGripEnabled(true);
    auto* balls = new QWidget(bar);
    auto* ballRow = new QHBoxLayout(balls);
    ballRow->setContentsMargins(2, 0, 2, 0);
    imgGreenBall = new QLabel(balls);
    imgRedBall = new QLabel(balls);
    imgGreenBall->setObjectName("imgGreenBall");
    imgRedBall->setObjectName("imgRedBall");
    imgGreenBall->setPixmap(BallPixmap(QColor(30, 200, 50), 16));
    imgRedBall->setPixmap(BallPixmap(QColor(225, 30, 30), 16));
    ballRow->addWidget(imgGreenBall);
    ballRow->addWidget(imgRedBall);
    pnStatus = new QLabel(bar);
    pnStatus->setObjectName("pnStatus");
    pnStatus->setMinimumWidth(110);
    pnlName = new QLabel(bar);
    pnlName->setObjectName("pnlName");
    pnlName->setMinimumWidth(180);
    auto* timePanel = new QWidget(bar);
    auto* timeRow = new QHBoxLayout(timePanel);
    timeRow->setContentsMargins(2, 0, 2, 0);
    pnlDataTime = new QLabel(timePanel);
    pnlDataTime->setObjectName("pnlDataTime");
    pnlDataTime->setMinimumWidth(60);
    ProgressBar = new QProgressBar(timePanel);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setRange(0, 100);
    ProgressBar->setTextVisible(false);
    ProgressBar->setMaximumHeight(14);
    ProgressBar->setFixedWidth(120);
    ProgressBar->hide();
    timeRow->addWidget(pnlDataTime);
    timeRow->addWidget(ProgressBar);
    bar->addWidget(balls);
    bar->addWidget(pnStatus);
    bar->addWidget(pnlName, 1);
    bar->addPermanentWidget(timePanel);
}

// --- start-up --------------------------------------------------------------------------------

void TfrmWorkForm::FormCreate() {
    ClearLog();
    CollapseActivityPanel();
    ReadProgramVersion();
    // One running copy per data directory.
    instanceLock_ = std::make_unique<InstanceLock>();
    const auto lock = instanceLock_->Acquire(InstanceLockPath(startup_.dataDir.dir));
    if (lock != InstanceLock::Result::Acquired) {
        if (lock == InstanceLock::Result::Failed)
            AddLogText("Can not take the single-instance lock: " + instanceLock_->Error(), true);
        secondInstance_ = true;
        StopStartup(kAnotherCopyMessage);
        return;
    }
    LoadUserData();
    life_->SetDetailedLogging(false);
    SteadyTimeBase steady;
    TimeBase& clock = startup_.timeBase ? *startup_.timeBase : static_cast<TimeBase&>(steady);
    timerSupported_ = CheckTimeBase(clock, timing_);
    if (!timerSupported_) {
        AddLogText(kNoTimerLog, true);
        StopStartup(kNoTimerMessage);
        return;
    }
    LoadRebootFlags(startup_.dataDir.RebootState(), settings_);
    settings_.LogColor = LoadLogColor(startup_.dataDir.UserSetup());
    rebootFlagsRead_ = true;
    // The driver check: the disk helper, which alone reaches the disk, started and answered.
    if (std::string why; !StartDiskHelper(why)) {
        AddLogText(DiskHelperFailureLog(why), true);
        StopStartup(std::string(kNoDriverMessage) + "<br>" + kNoDriverLinuxHint);
        return;
    }
    // The controller list is created here once it exists (closeHooks.controllerListCreated).
    LoadLiveSupportPage();
    channels_ = std::make_unique<TWorkFormChannels>(*this, startup_, power_.get());
    closeHooks.controllerListCreated = [this] { return channels_ && channels_->Session(); };
    // The close sequence has logged the attempt itself.
    closeHooks.enableMyChannels = [this] { channels_->GiveBack(true); };
    created_ = true;
}

void TfrmWorkForm::LoadLiveSupportPage() {
    // The page ships next to the program (build tree) or under share/ (installed).
    const QString exeDir = QCoreApplication::applicationDirPath();
    for (const QString& dir : {exeDir + "/../share/zelkova-user-client", exeDir + "/resources",
                               exeDir + "/../app/resources"}) {
        QFile f(dir + "/images/Zkv.htm");
        if (!f.open(QIODevice::ReadOnly))
            continue;
        QString html = QString::fromUtf8(f.readAll());
        html.replace("[path]", dir + "/");
        html.replace("[site]", QString::fromUtf8(kServiceWebSite));
        LiveSupportBrowser->setHtml(html);
        return;
    }
    LiveSupportBrowser->setHtml(
        QString("<a href=\"%1\"><b>Instant Service</b></a>").arg(kServiceWebSite));
}

void TfrmWorkForm::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (shownOnce_ && engine_)
        return;
    shownOnce_ = true;
    FormShow();
}

void TfrmWorkForm::FormShow() {
    SetButtonsEnabled(false, false);
    ShowConnectButton(true);
    const std::string version = VersionText(user_.versionMajor, user_.versionMinor,
                                            user_.versionRelease, user_.versionBuild);
    setWindowTitle(QString::fromStdString("Zelkova User Client V." + version));
    AddLogText("Zelkova User Client version is " + version, true);
    // A start-up that stopped (second copy, no timer, no port access) only shows the state:
    // no login dialog, so user.dat stays as it is.
    if (timerSupported_ && !startupStopped_) {
        if (!SkipLoginDialog(settings_.WasReboot, startup_.unattended, user_)) {
            ShowLoginDialog();
            LoadUserData();
        }
        if (TerminationRequested()) {
            // A signal closed the login dialog: the start-up stops here, before the engine,
            // the version check and the channel; the close that follows has nothing to undo.
            ShowConnectionState(false);
            return;
        }
        ShowConnectionState(false);
        EnsureEngine();
        StartVersionCheck();
    } else {
        ShowConnectionState(false);
    }
    ShowAtaRegisters(0, 0);
}

void TfrmWorkForm::hideEvent(QHideEvent* e) {
    QMainWindow::hideEvent(e);
    if (e->spontaneous())
        return; // minimised: the connection stays
    life_->WindowHidden();
}

void TfrmWorkForm::closeEvent(QCloseEvent* e) {
    CloseState state;
    state.technicianAttached = life_->TechnicianAttached();
    state.secondInstance = secondInstance_;
    state.rebootFlagsRead = rebootFlagsRead_;
    state.wasReboot = settings_.WasReboot;
    CloseHooks h = closeHooks;
    h.askYesNo = [this](const std::string& q) { return closeWithoutAsking_ || AskYesNo(q); };
    h.setNoReconnect = [this] {
        framing_->SetNoReconnect(true);
        tmrReconnect->stop();
    };
    h.writeRebootFlags = [this] {
        std::string error;
        if (!SaveRebootFlags(startup_.dataDir.RebootState(), settings_, &error))
            AddLogText("Can not store the restart state: " + error, true);
    };
    // The disk helper keeps its channel until the client ends (for the run after a restart).
    h.closePortDriver = [] {};
    if (!h.log)
        h.log = [this](const std::string& t) { AddLogText(t, true); };
    if (!h.showMessage)
        h.showMessage = [this](const std::string& t) {
            messagesShown_.push_back(t);
            ShowMessageDlg(t, MsgDlgType::Information, mb::OK);
        };
    if (RunCloseSequence(state, h) == CloseOutcome::Cancelled) {
        e->ignore();
        return;
    }
    if (versionUpdate_)
        versionUpdate_->RequestStop();
    if (!secondInstance_)
        SavePlacement();
    StopConnection();
    // The channels this run (or one that ended without it) took go back to the kernel.
    if (channels_)
        channels_->GiveBack();
    e->accept();
}

// --- window messages -------------------------------------------------------------------------

bool TfrmWorkForm::event(QEvent* e) {
    if (e->type() > QEvent::User && e->type() <= QEvent::User + kWmUser + 64) {
        if (auto* m = dynamic_cast<TWorkFormMessage*>(e)) {
            HandleMessage(*m);
            return true;
        }
    }
    return QMainWindow::event(e);
}

std::string TfrmWorkForm::JumperAnswerText(long kind, long answer, const std::string& vendor) {
    return zkv::JumperAnswerText(kind, answer, vendor);
}

void TfrmWorkForm::HandleMessage(const TWorkFormMessage& m) {
    switch (m.Message()) {
    case kMsgStartConnect:
        AddLogText("<HR>", true);
        AddLogText("Click the \"Instant Service\" button at the top of this screen if you have "
                   "questions.",
                   true);
        AddLogText("<HR>", true);
        StartConnect();
        break;
    case kMsgToggle:
        ToggleConnection();
        break;
    case kMsgJumperAnswer:
        if (m.WParam() == 7 || m.WParam() == 8 || m.WParam() == 10) {
            ToggleConnection();
            CollapseActivityPanel();
        } else if (terminalAndScreens_) {
            // The other kinds answer the technician with a CMD_SHOW_LOG message.
            terminalAndScreens_->AnswerTechnician(m.WParam(), m.LParam());
        }
        break;
    case kMsgSendScan:
        scan_->Service().SendCollected();
        break;
    default:
        break;
    }
}

void TfrmWorkForm::btnProxySettingClick() {
    // Back to Login: the dialog, then the stored data again. The connection is not touched.
    ShowLoginDialog();
    LoadUserData();
}

void TfrmWorkForm::btnHelpClick() {
    OpenLinkAsUser(QUrl(QString::fromStdString(SetupInstructionsAddress())));
}

void TfrmWorkForm::ExpandActivityPanel(int height) {
    pnlMoveImg->setFixedHeight(height > 0 ? height : kActivityPanelDesignHeight);
    pnlMoveImg->show();
}

void TfrmWorkForm::CollapseActivityPanel() {
    pnlMoveImg->setFixedHeight(0);
    pnlMoveImg->hide();
}

// --- the log, lamps, status bar --------------------------------------------------------------

void TfrmWorkForm::WriteToBrowser(const std::string& fragment, bool isHeader) {
    std::string html = fragment;
    if (isHeader) {
        // The header's colour and font are the browser's own settings; the rest is content.
        wbLog->clear();
        html = html.substr(std::min(html.size(), kLogHeader.size()));
    }
    if (html.empty())
        return;
    // A rule is a block of its own in the view; text after it starts a new block (inserted as
    // HTML, the rule would take the following text into its own block).
    static const QRegularExpression rule("<hr>(\\s*<br>)?\\s*",
                                         QRegularExpression::CaseInsensitiveOption);
    const QStringList parts = QString::fromStdString(html).split(rule);
    QTextCursor c(wbLog->document());
    c.movePosition(QTextCursor::End);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            QTextBlockFormat hr;
            hr.setProperty(QTextFormat::BlockTrailingHorizontalRulerWidth,
                           QTextLength(QTextLength::PercentageLength, 100));
            if (!c.block().text().isEmpty())
                c.insertBlock(QTextBlockFormat());
            c.setBlockFormat(hr);
            c.insertBlock(QTextBlockFormat());
        }
        if (parts[i].trimmed().isEmpty())
            continue;
        c.insertHtml(parts[i]);
        // A text that ends its line starts the next one in a block of its own: inserted as HTML,
        // its "<br>" is a line separator inside the current block, and one block holding the
        // whole log would be laid out again on every line, costing ever more as the log grows.
        if (c.block().text().endsWith(QChar::LineSeparator)) {
            c.deletePreviousChar();
            c.insertBlock(QTextBlockFormat(), QTextCharFormat());
        }
    }
    wbLog->verticalScrollBar()->setValue(wbLog->verticalScrollBar()->maximum());
}

void TfrmWorkForm::AddLogText(const std::string& text, bool lineBreak) {
    log_.AddLogText(text, lineBreak);
}

void TfrmWorkForm::AddLogTextBold(const std::string& text, bool lineBreak) {
    log_.AddLogTextBold(text, lineBreak);
}

void TfrmWorkForm::ClearLog() {
    if (!log_.BeginReset())
        return;
    // The browser empties at once; text logged meanwhile would follow the new header.
    wbLog->clear();
    log_.EndReset();
}

void TfrmWorkForm::ShowLamps(const std::array<LampColour, kLampCount>& colours) {
    for (std::size_t i = 0; i < kLampCount; ++i)
        lamps[i]->SetColour(colours[i]);
}

void TfrmWorkForm::ShowConnectionState(bool connected) {
    if (connected) {
        pnStatus->setText("Connected.");
        imgGreenBall->show();
        imgRedBall->hide();
    } else {
        imgGreenBall->hide();
        imgRedBall->show();
        pnStatus->setText("No Connection.");
        pnlDataTime->setText("");
    }
}

void TfrmWorkForm::ShowProgress(const ProgressState& progress, bool showOrHide) {
    ProgressBar->setValue(progress.value);
    ProgressBar->setToolTip(QString::fromStdString(progress.toolTip));
    if (showOrHide)
        ProgressBar->setVisible(progress.visible);
    repaint();
}

// --- hosts of the framing and the engine -----------------------------------------------------

void TfrmWorkForm::LogText(std::string_view text) {
    // The framing logs on the thread that sends, which may be the ATA worker's.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, line = std::string(text)] { log_.AddLogText(line, true); },
            Qt::QueuedConnection);
        return;
    }
    log_.AddLogText(text, true);
}

std::int32_t TfrmWorkForm::OwnId() const {
    return engine_ ? engine_->OwnId() : 0;
}

std::int32_t TfrmWorkForm::PartnerId() const {
    return engine_ ? engine_->PartnerId() : 0;
}

UniSocket& TfrmWorkForm::Processor() {
    return EnsureEngine();
}

void TfrmWorkForm::AddLogText(std::string_view text) {
    log_.AddLogText(text, true);
}

void TfrmWorkForm::AddLogTextBold(std::string_view text) {
    log_.AddLogTextBold(text, true);
}

void TfrmWorkForm::ShowMessage(std::string_view text) {
    // Nothing after a message box depends on its answer, so it need not block the connection's
    // events: it is modal for the window but returns at once.
    messagesShown_.emplace_back(text);
    auto* box = new QMessageBox(QMessageBox::Information, "Zelkova User Client",
                                QString::fromStdString(std::string(text)), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

bool TfrmWorkForm::SendPacket(PacketRecord& packet) {
    return framing_->SendPacket(packet);
}

// --- the session: start-up checks, login, version check, placement ----------------------------

namespace {

// The version check's window side; each call arrives on the main thread.
class WorkFormUpdateHost final : public IVersionUpdateHost {
public:
    WorkFormUpdateHost(TfrmWorkForm& form, const std::atomic<bool>& closing)
        : form_(form), closing_(closing) {}
    void UpdateLog(const std::string& text) override {
        if (!closing_)
            form_.AddLogText(text, true);
    }
    void UpdateProgressBegin() override {
        if (!closing_)
            form_.ProgressStart();
    }
    void UpdateProgress(int percent) override {
        if (closing_)
            return;
        form_.sharedProgress = percent;
        form_.ProgressStep();
    }
    void UpdateProgressEnd() override {
        if (!closing_)
            form_.ProgressStop();
    }
    bool UpdateAsk(const std::string& text) override { return !closing_ && AskYesNo(text); }

private:
    TfrmWorkForm& form_;
    const std::atomic<bool>& closing_;
};

} // namespace

void TfrmWorkForm::ReadProgramVersion() {
    // The build sets the version in one place; there is no resource that could be missing.
    user_.versionMajor = kProgramVersion[0];
    user_.versionMinor = kProgramVersion[1];
    user_.versionRelease = kProgramVersion[2];
    user_.versionBuild = kProgramVersion[3];
}

bool TfrmWorkForm::StopStartup(const std::string& message) {
    // Fatal start-up conditions: told, then the window closes.
    startupStopped_ = true;
    messagesShown_.push_back(message);
    ShowMessageDlg(message, MsgDlgType::Error, mb::OK);
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    return false;
}

bool TfrmWorkForm::StartDiskHelper(std::string& why) {
    helper::HelperLaunchOptions o;
    o.hardware = startup_.hardware;
    o.root = geteuid() == 0;
    diskHelper_ = helper::StartDiskHelper(o, why);
    return diskHelper_ != nullptr;
}

std::string TfrmWorkForm::LockFile() const {
    return InstanceLockPath(startup_.dataDir.dir).string();
}

void TfrmWorkForm::ShowLoginDialog() {
    TfrmMainForm dialog(user_, proxy_, startup_.dataDir.UserData(), ClientSocket, this);
    dialog.setWindowTitle("Zelkova User Client");
    dialog.edtUserName->setMaxLength(24);
    dialog.exec();
    if (!dialog.Saved())
        AddLogText("Can not store the user data: " + dialog.SaveError(), true);
}

void TfrmWorkForm::StartVersionCheck() {
    if (versionUpdate_ && !updateEnded_)
        return;
    if (versionUpdate_)
        versionUpdate_->Join();
    TVersionUpdate::Config c;
    c.versionUrl = startup_.updateUrl.empty() ? DefaultVersionFileUrl() : startup_.updateUrl;
    c.running = {user_.versionMajor, user_.versionMinor, user_.versionRelease};
    c.downloadDir = startup_.dataDir.Downloads();
    if (!startup_.updateKeyring.empty())
        c.keyring = startup_.updateKeyring;
    else if (const auto shipped =
                 ShippedUpdateKeyring(QCoreApplication::applicationDirPath().toStdString()))
        c.keyring = *shipped;
    if (!http_)
        http_ = std::make_unique<CurlHttpClient>();
    if (!updateHost_)
        updateHost_ = std::make_unique<WorkFormUpdateHost>(*this, closing_);
    updateEnded_ = false;
    versionUpdate_ = std::make_unique<TVersionUpdate>(c, *http_, *updateHost_, [this] {
        // On the worker thread: the end handler runs on the main thread.
        QMetaObject::invokeMethod(
            this, [this] { UpdateFinished(); }, Qt::QueuedConnection);
        updateEnded_ = true;
    });
    versionUpdate_->Start();
}

void TfrmWorkForm::UpdateFinished() {
    if (closing_ || !versionUpdate_)
        return;
    versionUpdate_->Join();
    if (!versionUpdate_->Downloaded()) {
        PostWorkFormMessage(this, kMsgStartConnect);
        return;
    }
    const std::string installer = versionUpdate_->DownloadedPath().string();
    std::string updater = startup_.updaterProgram;
    if (updater.empty())
        updater =
            (QCoreApplication::applicationDirPath() + "/" + kUpdaterProgramName).toStdString();
    std::vector<std::string> client = startup_.restartCommand;
    if (client.empty()) {
        client.push_back(QCoreApplication::applicationFilePath().toStdString());
        const QStringList args = QCoreApplication::arguments();
        for (qsizetype i = 1; i < args.size(); ++i)
            client.push_back(args[i].toStdString());
    }
    // The updater runs as this user; it asks pkexec for the installation itself.
    const SpawnResult r = StartUpdater(UpdaterArguments(updater, LockFile(), installer, client));
    if (!r.started) {
        ShowMessage(CannotStartInstallerText(installer));
        return; // no connection is started; Connect stays disabled
    }
    AddLogText("The installation program has been started.", true);
    // Ending the disk helper gives its channel back before the installation.
    if (diskHelper_)
        diskHelper_->Close();
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TfrmWorkForm::RestorePlacement() {
    IniFile ini(startup_.dataDir.Placement());
    if (!ini.Load() || !ini.HasSection("MainForm"))
        return;
    const int w = ini.ReadInteger("MainForm", "Width", 0);
    const int h = ini.ReadInteger("MainForm", "Height", 0);
    if (w >= minimumWidth() && h >= minimumHeight() && w <= 16384 && h <= 16384)
        resize(w, h);
    const int left = ini.ReadInteger("MainForm", "Left", -100000);
    const int top = ini.ReadInteger("MainForm", "Top", -100000);
    if (left > -16384 && top > -16384 && left < 16384 && top < 16384)
        move(left, top);
}

void TfrmWorkForm::SavePlacement() {
    IniFile ini(startup_.dataDir.Placement());
    ini.Load();
    const QRect g = geometry();
    ini.WriteInteger("MainForm", "Left", x());
    ini.WriteInteger("MainForm", "Top", y());
    ini.WriteInteger("MainForm", "Width", g.width());
    ini.WriteInteger("MainForm", "Height", g.height());
    std::string error;
    if (!ini.Save(0600, &error))
        AddLogText("Can not store the window placement: " + error, true);
}

} // namespace zkv
