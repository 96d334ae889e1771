// TfrmWorkForm: the client's main window and the owner of its one connection to the service.
//
// It shows the HTML log, the sixteen register lamps, the status bar and the activity panel,
// runs the four timers, opens, watches and retries the connection, and is the host of the
// framing and of the protocol engine: both reach the window only through IFramingHost and
// IUserClientHost.
#pragma once

#include "agent/FixedChannelService.h"
#include "agent/UserClientSocket.h"
#include "app/TPROXYClientSocket.h"
#include "app/model/LogModel.h"
#include "ata/AtaThread.h"
#include "platform/PowerControl.h"
#include "protocol/Framing.h"
#include "support/ClientSettings.h"
#include "support/Deployment.h"
#include "support/UserData.h"
#include "tools/MessageDialog.h"

#include <QDateTime>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
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

// Window messages of the work form, numbered like the original messages (WM_USER + n).
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

struct WorkFormStartup {
    DataDirectory dataDir;
    std::string hardware = "linux";
    SessionLog* sessionLog = nullptr; // every log fragment is appended to it when set
    // Lab options (see ClientOptions).
    bool unattended = false;
    std::string controller;
    std::vector<std::string> serialPorts;
    std::string updateUrl;
};

class TfrmWorkForm : public QMainWindow,
                     public IFramingHost,
                     public IUserClientHost,
                     public IAtaWorkerHost {
    Q_OBJECT
public:
    explicit TfrmWorkForm(WorkFormStartup startup, QWidget* parent = nullptr);
    ~TfrmWorkForm() override;

    // --- the log, lamps, status bar and progress bar ---
    void AddLogText(const std::string& text, bool lineBreak);
    void AddLogTextBold(const std::string& text, bool lineBreak);
    void ClearLog();
    void ShowAtaRegisters(std::uint8_t status, std::uint8_t error);
    void ShowConnectionState(bool connected);
    void ProgressStart();
    void ProgressStep();
    void ProgressStop();
    // For worker threads: set these, then have the main thread call the matching operation.
    std::atomic<int> sharedProgress{0};
    void SetPendingLogLine(std::string line);
    void LogPendingText();

    // --- the connection ---
    void StartConnect();
    void StopConnection();
    void ToggleConnection();
    void LoadUserData();
    // Expands the activity panel to `height` pixels (the technician's commands do), or collapses.
    void ExpandActivityPanel(int height);
    void CollapseActivityPanel();

    // --- IFramingHost ---
    void RestartPingWatchdog() override;
    bool NoReconnectFlag() const override { return noReconnect_; }
    void SetNoReconnectFlag(bool on) override { noReconnect_ = on; }
    bool DetailedLogging() const override { return detailedLogging_; }
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
    void SetTechnicianAttached(bool on) override;

    // --- the technician's work: ATA worker, channel, power (TfrmWorkFormTechnician.cpp) ---
    void AtaProgressStart() override { ProgressStart(); }
    void AtaProgressStep(int percent) override;
    void AtaProgressStop() override { ProgressStop(); }
    bool SendAtaReply(PacketRecord& reply) override { return SendPacket(reply); }
    void AtaLog(std::string_view text) override { AddLogText(text); }
    // The channel the technician's commands work on; with --hardware sim:FILE the interim
    // channel is channel 0 of the simulated hardware.
    FixedChannelService& Channel() { return channel_; }
    ATAThread* AtaWorker() { return ataThread_.get(); }
    // What the jumper dialog's vendor box shows, for the kind-13 answer (message 1029).
    void SetJumperVendorText(std::string text) { jumperVendorText_ = std::move(text); }

    // --- what tests and other parts look at ---
    bool Connected() const { return connected_; }
    bool TechnicianAttached() const { return technicianAttached_; }
    const UserInfo& User() const { return user_; }
    const ProxySetting& Proxy() const { return proxy_; }
    ClientSettings& Settings() { return settings_; }
    UserClientSocket* Engine() { return engine_.get(); }
    Framing& Frames() { return *framing_; }
    const LogModel& Log() const { return log_; }
    // The message boxes shown so far, oldest first.
    const std::vector<std::string>& MessagesShown() const { return messagesShown_; }
    // The jumper dialog's answer text for a dialog kind and answer (the 1029 message).
    static std::string JumperAnswerText(long kind, long answer, const std::string& vendorText);

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
    void SetUpTechnicianWork();
    void TearDownTechnicianWork();
    UserClientSocket& EnsureEngine();
    void tmrCheckHDDTimer();
    void SendJumperAnswer(long kind, long answer);

    void BuildWindow();
    void FormCreate();
    void FormShow();
    void OpenConnection();
    void ShowConnectButton(bool connectCaption);
    void SetButtonsEnabled(bool connect, bool backToLogin);
    void WriteToBrowser(const std::string& fragment, bool isHeader);
    void LoadLiveSupportPage();
    void HandleMessage(const TWorkFormMessage& m);

    void ClientSocketConnecting();
    void ClientSocketConnect();
    void ClientSocketDisconnect();
    void ClientSocketRead();
    void ClientSocketError(int code);
    void tmrConnectTimer();
    void tmrReconnectTimer();
    void btnProxySettingClick();
    void btnHelpClick();

    WorkFormStartup startup_;
    LogModel log_;
    UserInfo user_;
    ProxySetting proxy_;
    ClientSettings settings_;
    std::unique_ptr<ProxySocketConnection> connection_;
    std::unique_ptr<Framing> framing_;
    std::unique_ptr<UserClientSocket> engine_;

    bool created_ = false;
    bool shownOnce_ = false;
    bool connected_ = false;
    bool noReconnect_ = false;
    bool technicianAttached_ = false;
    bool detailedLogging_ = false;
    bool hddDetected_ = false;
    bool rebootFlagsRead_ = false;
    QDate connectionDate_;
    QDateTime connectTime_;
    std::vector<std::string> messagesShown_;
    std::mutex pendingMutex_;
    std::string pendingLogLine_;

    // The technician's work.
    std::unique_ptr<IMainThread> mainThread_;
    std::unique_ptr<TSmallPort> simHardware_;
    std::unique_ptr<THDCDevice> channelDevice_;
    FixedChannelService channel_;
    std::unique_ptr<IPowerControl> power_;
    std::unique_ptr<IMessageDialog> unattendedDialog_;
    IMessageDialog* previousDialog_ = nullptr;
    std::unique_ptr<ATAThread> ataThread_;
    std::string jumperVendorText_ = "Unknown";
};

} // namespace zkv
