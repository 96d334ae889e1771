// TfrmWorkForm: the client's main window and the owner of its one connection to the service.
//
// The window shows the HTML log, the sixteen register lamps, the status bar and the activity
// panel. What it shows is decided by models that need no window: the connection's life cycle
// (ConnectionLife, over the socket and the four timers), the log (LogModel) and the lamps and
// progress (WorkIndicators); the window wires its widgets to them. It is the host of the framing
// and of the protocol engine: both reach the window only through IFramingHost and
// IUserClientHost.
#pragma once

#include "agent/FixedChannelService.h"
#include "agent/UserClientSocket.h"
#include "app/TPROXYClientSocket.h"
#include "app/model/ClientOptions.h"
#include "app/model/CloseSequence.h"
#include "app/model/ConnectionLife.h"
#include "app/model/LogModel.h"
#include "app/model/WorkIndicators.h"
#include "app/model/WorkTimers.h"
#include "ata/AtaThread.h"
#include "helper/HelperClient.h"
#include "platform/PowerControl.h"
#include "platform/TimeBase.h"
#include "protocol/Framing.h"
#include "support/ClientSettings.h"
#include "support/Deployment.h"
#include "support/UserData.h"
#include "tools/MessageDialog.h"

#include <QEvent>
#include <QMainWindow>
#include <QTimer>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;
class QToolButton;
class QWidget;

namespace zkv {

class SessionLog;
class TLampWidget;
class TTerminalAndScreens;
class TSmallPort;
class TVersionUpdate;
class IHttpClient;
class IVersionUpdateHost;
class InstanceLock;
class ScopedQtMainThread;
class TScanSurfaceHost;
class TWorkFormChannels;

// Window messages of the work form, numbered WM_USER + n with WM_USER = 1024.
inline constexpr int kWmUser = 1024;
inline constexpr int kMsgStartConnect = kWmUser + 2; // 1026: log the hint, first attempt
inline constexpr int kMsgSendScan = kWmUser + 3;     // 1027: forward collected scan results
inline constexpr int kMsgToggle = kWmUser + 4;       // 1028: ToggleConnection
inline constexpr int kMsgJumperAnswer = kWmUser + 5; // 1029: the jumper dialog's answer

// A window message posted to the work form, carried as a Qt event of type QEvent::User + n.
class TWorkFormMessage : public QEvent {
public:
    TWorkFormMessage(int message, long wParam = 0, long lParam = 0)
        : QEvent(static_cast<QEvent::Type>(QEvent::User + message)), message_(message),
          wParam_(wParam), lParam_(lParam) {}
    int Message() const { return message_; }
    long WParam() const { return wParam_; }
    long LParam() const { return lParam_; }

private:
    int message_;
    long wParam_, lParam_;
};

// Posts a window message to the work form (from any thread).
void PostWorkFormMessage(QObject* form, int message, long wParam = 0, long lParam = 0);

struct WorkFormStartup : LabOptions {
    DataDirectory dataDir;
    std::string hardware = "linux";
    SessionLog* sessionLog = nullptr; // every log fragment is appended to it when set
    // The high-resolution timer checked at start; nullptr: the steady clock.
    TimeBase* timeBase = nullptr;
    // The installer hand-over: the updater program (empty: zelkova-update beside this program)
    // and the command that starts the client again (empty: this program with its arguments).
    std::string updaterProgram;
    std::vector<std::string> restartCommand;
};

class TfrmWorkForm : public QMainWindow,
                     public IFramingHost,
                     public IUserClientHost,
                     public IAtaWorkerHost,
                     public IConnectionView,
                     public IIndicatorView {
    Q_OBJECT
public:
    explicit TfrmWorkForm(WorkFormStartup startup, QWidget* parent = nullptr);
    ~TfrmWorkForm() override;

    // --- the log, lamps, status bar and progress bar ---
    void AddLogText(const std::string& text, bool lineBreak);
    void AddLogTextBold(const std::string& text, bool lineBreak);
    void ClearLog();
    void ShowAtaRegisters(std::uint8_t status, std::uint8_t error) {
        indicators_.ShowRegisters(status, error);
    }
    void ShowConnectionState(bool connected) override;
    void ProgressStart() { indicators_.ProgressStart(); }
    void ProgressStep() { indicators_.ProgressStep(); }
    void ProgressStop() { indicators_.ProgressStop(); }

private:
    WorkIndicators indicators_;

public:
    // For worker threads: set these, then have the main thread call the matching operation.
    std::atomic<int>& sharedProgress = indicators_.sharedProgress;
    void SetPendingLogLine(std::string line) { indicators_.SetPendingLogLine(std::move(line)); }
    void LogPendingText() { AddLogText(indicators_.PendingLogLine(), true); }

    // --- the connection ---
    void StartConnect() { life_->StartConnect(); }
    void StopConnection() { life_->StopConnection(); }
    void ToggleConnection() { life_->ToggleConnection(); }
    void LoadUserData();
    // Expands the activity panel to `height` pixels (the technician's commands do), or collapses.
    void ExpandActivityPanel(int height) override;
    void CollapseActivityPanel() override;

    // --- IFramingHost ---
    void RestartPingWatchdog() override { life_->RestartPingWatchdog(); }
    bool NoReconnectFlag() const override { return life_->NoReconnect(); }
    void SetNoReconnectFlag(bool on) override { life_->SetNoReconnect(on); }
    bool DetailedLogging() const override { return life_->DetailedLogging(); }
    void LogText(std::string_view text) override;
    std::int32_t OwnId() const override;
    std::int32_t PartnerId() const override;
    bool DeliverAtaPacket(std::unique_ptr<PacketRecord>& packet) override;
    UniSocket& Processor() override;

    // --- IUserClientHost ---
    void AddLogText(std::string_view text) override;
    void AddLogTextBold(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    // A request from the protocol engine; it must outlive the receive step it is made in.
    void SetNoReconnect(bool on) override { framing_->SetNoReconnect(on); }
    void CloseConnection() override { ClientSocket->Close(); }
    void StopPingTimer() override { tmrPing->stop(); }
    bool SendPacket(PacketRecord& packet) override;
    void SetTechnicianAttached(bool on) override { life_->SetTechnicianAttached(on); }

    // --- the technician's work: ATA worker, channel, power (TfrmWorkFormTechnician.cpp) ---
    void AtaProgressStart() override { indicators_.ProgressStart(); }
    void AtaProgressStep(int percent) override { indicators_.ProgressStep(percent); }
    void AtaProgressStop() override { indicators_.ProgressStop(); }
    bool SendAtaReply(PacketRecord& reply) override { return SendPacket(reply); }
    bool RepliesFromWorker() const override { return framing_ && framing_->SendsFromAnyThread(); }
    void AtaLog(std::string_view text) override { AddLogText(text); }
    // The channel the technician's commands work on: the one chosen and detected, or none.
    IChannelService& Channel();
    TControllerInfo* ChannelDevice();
    ATAThread* AtaWorker() { return ataThread_.get(); }

    // --- the surface scan: its service (IScanService for the engine) and window ---
    TScanSurfaceHost& Scan() { return *scan_; }
    // Asks a running scan to stop (the window closes or hides, the connection drops).
    void StopScan();

    // --- what tests and other parts look at ---
    bool Connected() const { return life_->Connected(); }
    bool TechnicianAttached() const { return life_->TechnicianAttached(); }
    const UserInfo& User() const { return user_; }
    const ProxySetting& Proxy() const { return proxy_; }
    ClientSettings& Settings() { return settings_; }
    UserClientSocket* Engine() { return engine_.get(); }
    // The chosen channel: detection, the engine's channel service, the give-back at close.
    TWorkFormChannels* Channels() { return channels_.get(); }
    Framing& Frames() { return *framing_; }
    const LogModel& Log() const { return log_; }
    const WorkIndicators& Indicators() const { return indicators_; }
    ConnectionLife& Life() { return *life_; }
    // The message boxes shown so far, oldest first.
    const std::vector<std::string>& MessagesShown() const { return messagesShown_; }
    // --- the session: start-up checks, close order, version check ---
    bool SecondInstance() const { return secondInstance_; }
    bool TimerSupported() const { return timerSupported_; }
    const TimeValues& Timing() const { return timing_; }
    // The disk helper started by the start-up's driver check (it answered HELLO).
    helper::DiskHelperClient* DiskHelper() { return diskHelper_.get(); }
    // The close request's steps that other pieces of the program fill in (scan, serial port,
    // ATA worker, controller list); the window fills the question, no-reconnect, the flags, the
    // port driver, the log and the message itself.
    CloseHooks closeHooks;
    // Closes without the question to a person (SIGTERM, SIGINT, SIGHUP: the system or the
    // person at the terminal has decided); every other step of the close runs.
    void CloseWithoutAsking() {
        closeWithoutAsking_ = true;
        close();
    }
    // The running or finished version check, nullptr before the window was shown.
    TVersionUpdate* VersionCheck() { return versionUpdate_.get(); }
    // The single-instance lock file of this data directory.
    std::string LockFile() const;

    // The jumper dialog's answer text for a dialog kind and answer (the 1029 message).
    static std::string JumperAnswerText(long kind, long answer, const std::string& vendorText);
    // The serial bridge and the instruction screens (their services go to the engine).
    TTerminalAndScreens* TerminalAndScreens() { return terminalAndScreens_.get(); }

    TPROXYClientSocket* ClientSocket;
    QTimer* tmrConnect;
    QTimer* tmrCheckHDD;
    QTimer* tmrReconnect;
    QTimer* tmrPing;
    QPushButton* btnProxySetting;
    QPushButton* btnClear;
    QPushButton* btnHelp;
    QPushButton* btnReconnect;
    QTextBrowser* wbLog;
    QTextBrowser* LiveSupportBrowser;
    QWidget* pnlMoveImg;
    QToolButton* SpeedButton1;
    QLabel* imgGreenBall;
    QLabel* imgRedBall;
    QLabel* pnStatus;
    QLabel* pnlName;
    QLabel* pnlDataTime;
    QProgressBar* ProgressBar;
    std::array<TLampWidget*, 16> lamps{};

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    // --- IConnectionView, IIndicatorView ---
    void ShowConnectButton(bool connectCaption) override;
    void SetButtonsEnabled(bool connectButton, bool backToLogin) override;
    void SetBackToLoginEnabled(bool on) override;
    void ShowConnectionTime(const std::string& text) override;
    void ShowNotice(const std::string& text) override { ShowMessage(text); }
    void ShowError(const std::string& text) override;
    void ShowLamps(const std::array<LampColour, kLampCount>& colours) override;
    void ShowProgress(const ProgressState& progress, bool showOrHide) override;

    void SetUpConnection();
    void SetUpTechnicianWork();
    void TearDownTechnicianWork();
    UserClientSocket& EnsureEngine();
    void tmrCheckHDDTimer();

    void BuildWindow();
    void FormCreate();
    void FormShow();
    void WriteToBrowser(const std::string& fragment, bool isHeader);
    void LoadLiveSupportPage();
    void HandleMessage(const TWorkFormMessage& m);
    void InstallTerminalAndScreens();

    void btnProxySettingClick();
    void btnHelpClick();
    // The session's start-up, login, version check and placement.
    void ReadProgramVersion();
    bool StopStartup(const std::string& message);
    // Starts the disk helper; false with the reason, said for the user, in `why`.
    bool StartDiskHelper(std::string& why);
    void ShowLoginDialog();
    void StartVersionCheck();
    void UpdateFinished();
    void RestorePlacement();
    void SavePlacement();

    WorkFormStartup startup_;
    LogModel log_;
    UserInfo user_;
    ProxySetting proxy_;
    ClientSettings settings_;
    std::unique_ptr<ProxySocketConnection> connection_;
    std::unique_ptr<Framing> framing_;
    std::unique_ptr<UserClientSocket> engine_;
    std::unique_ptr<TTerminalAndScreens> terminalAndScreens_;
    std::unique_ptr<TScanSurfaceHost> scan_;
    std::unique_ptr<TWorkFormChannels> channels_;
    // The connection's life: the socket and the timers as its model sees them.
    SteadyTimeBase steadyClock_;
    std::unique_ptr<IWorkTimers> timers_;
    std::unique_ptr<IConnectionPort> port_;
    std::unique_ptr<ConnectionLife> life_;

    bool created_ = false;
    bool shownOnce_ = false;
    bool closeWithoutAsking_ = false;
    bool hddDetected_ = false;
    bool rebootFlagsRead_ = false;
    std::vector<std::string> messagesShown_;
    // The session.
    std::unique_ptr<ScopedQtMainThread> qtMainThread_;
    std::unique_ptr<InstanceLock> instanceLock_;
    std::unique_ptr<helper::DiskHelperClient> diskHelper_;
    std::unique_ptr<IHttpClient> http_;
    std::unique_ptr<IVersionUpdateHost> updateHost_;
    std::unique_ptr<TVersionUpdate> versionUpdate_;
    TimeValues timing_;
    bool secondInstance_ = false;
    bool timerSupported_ = false;
    bool startupStopped_ = false;
    std::atomic<bool> closing_{false};
    std::atomic<bool> updateEnded_{true};

    // The technician's work.
    std::unique_ptr<IMainThread> mainThread_;
    FixedChannelService noChannel_; // until a controller list exists
    std::unique_ptr<IPowerControl> power_;
    std::unique_ptr<IMessageDialog> unattendedDialog_;
    IMessageDialog* previousDialog_ = nullptr;
    std::unique_ptr<ATAThread> ataThread_;
};

} // namespace zkv
