// TfrmWorkForm: the connection's wiring. The socket and the four timers are the window's; what
// happens on their events is ConnectionLife's, and the window shows what it is told.
#include "app/TfrmWorkForm.h"
#include "controllers/ui/WorkFormChannels.h"

#include "app/Pictures.h"
#include "app/model/WorkFormRules.h"
#include "support/Termination.h"
#include "tools/MessageDialog.h"

#include <QLabel>
#include <QPushButton>

namespace zkv {

namespace {

// The window's timers as the life cycle's timers.
class QtWorkTimers final : public IWorkTimers {
public:
    explicit QtWorkTimers(std::array<QTimer*, kWorkTimerCount> timers) : timers_(timers) {}
    void Start(WorkTimer t) override { At(t)->start(); }
    void Stop(WorkTimer t) override { At(t)->stop(); }
    bool Running(WorkTimer t) const override { return At(t)->isActive(); }

private:
    QTimer* At(WorkTimer t) const { return timers_[static_cast<std::size_t>(t)]; }
    std::array<QTimer*, kWorkTimerCount> timers_;
};

// The proxy-capable socket, opened with the stored connection settings.
class ProxySocketPort final : public IConnectionPort {
public:
    ProxySocketPort(TPROXYClientSocket& socket, const ProxySetting& proxy)
        : socket_(socket), proxy_(proxy) {}
    bool Active() const override { return socket_.Active(); }
    bool HasServer() const override { return !proxy_.serverHost.empty(); }
    void Open() override {
        socket_.SetHost(proxy_.serverHost);
        socket_.SetAddress("");
        socket_.SetUseProxy(proxy_.useProxy);
        socket_.SetUseProxyToResolveHost(proxy_.resolveHostThroughProxy);
        socket_.SetProxyHost(proxy_.proxyHost);
        socket_.SetUserName(proxy_.proxyUserName);
        socket_.SetUserPassword(proxy_.proxyPassword);
        socket_.SetPort(proxy_.serverPort);
        socket_.SetProxyPort(proxy_.proxyPort);
        socket_.SetPROXYVersion(proxy_.proxyKind);
        socket_.Open();
    }
    void Close() override { socket_.Close(); }
    std::string CloseReason() const override { return socket_.CloseReason(); }

private:
    TPROXYClientSocket& socket_;
    const ProxySetting& proxy_;
};

} // namespace

void TfrmWorkForm::SetUpConnection() {
    // The connection component with its initial properties.
    ClientSocket = new TPROXYClientSocket(this);
    ClientSocket->SetPort(0);
    ClientSocket->SetUseProxy(false);
    ClientSocket->SetProxyPort(0);
    ClientSocket->SetUseProxyToResolveHost(false);
    ClientSocket->SetPROXYVersion(TPROXYVersion::HTTP_PROXY);
    connection_ = std::make_unique<ProxySocketConnection>(*ClientSocket);
    framing_ = std::make_unique<Framing>(*connection_, *this);

    auto makeTimer = [this](WorkTimer which) {
        auto* t = new QTimer(this);
        t->setInterval(WorkTimerPeriod(which));
        // Qt's default coarse timers may fire up to 5% early; the retry promises the user 10 s.
        t->setTimerType(Qt::PreciseTimer);
        return t;
    };
    tmrConnect = makeTimer(WorkTimer::Connect);
    tmrCheckHDD = makeTimer(WorkTimer::CheckHdd);
    tmrReconnect = makeTimer(WorkTimer::Reconnect);
    tmrPing = makeTimer(WorkTimer::Ping);
    timers_ = std::make_unique<QtWorkTimers>(
        std::array<QTimer*, kWorkTimerCount>{tmrConnect, tmrCheckHDD, tmrReconnect, tmrPing});
    port_ = std::make_unique<ProxySocketPort>(*ClientSocket, proxy_);
    life_ = std::make_unique<ConnectionLife>(*port_, *timers_, *this, log_, steadyClock_);

    ConnectionHooks& h = life_->hooks;
    h.ending = [] { return TerminationRequested(); };
    h.driveFound = [this] { return !(channels_ && channels_->DetectIfNeeded() == 0); };
    h.loginValid = [this] { return LoginDataValid(user_.userName, user_.email, user_.password); };
    h.setNoReconnect = [this](bool on) { framing_->SetNoReconnect(on); };
    h.resetReceiveState = [this] { framing_->ResetReceiveState(); };
    h.useBuiltinKey = [] { TransportData::Global().UseBuiltinKey(); };
    h.sendLogin = [this] {
        if (engine_)
            engine_->SendLogin();
    };
    h.stopScan = [this] { StopScan(); };
    h.connectionClosed = [this] {
        if (engine_) {
            engine_->SetPartnerId(0);
            engine_->ConnectionClosed();
        }
    };

    ConnectionLife* life = life_.get();
    connect(ClientSocket, &TPROXYClientSocket::OnConnecting, this,
            [life] { life->OnConnecting(); });
    connect(ClientSocket, &TPROXYClientSocket::OnConnect, this, [life] { life->OnConnected(); });
    connect(ClientSocket, &TPROXYClientSocket::OnDisconnect, this,
            [life] { life->OnDisconnected(); });
    connect(ClientSocket, &TPROXYClientSocket::OnRead, this,
            [this] { framing_->DrainAvailable(); });
    connect(ClientSocket, &TPROXYClientSocket::OnError, this,
            [life](int code) { life->OnError(code); });
    connect(tmrConnect, &QTimer::timeout, this, [life] { life->OnConnectTimer(); });
    connect(tmrReconnect, &QTimer::timeout, this, [life] { life->OnReconnectTimer(); });
    // The ping watchdog only measures; its expiry does nothing. The register poll starts once
    // a drive has been detected on the chosen channel.
}

void TfrmWorkForm::LoadUserData() {
    zkv::LoadUserData(startup_.dataDir.UserData(), user_, proxy_);
}

void TfrmWorkForm::ShowConnectButton(bool connectCaption) {
    btnReconnect->setText(connectCaption ? "Connect" : "Disconnect");
    btnReconnect->setIcon(connectCaption ? ConnectGlyph() : DisconnectGlyph());
}

void TfrmWorkForm::SetButtonsEnabled(bool connectButton, bool backToLogin) {
    btnReconnect->setEnabled(connectButton);
    btnProxySetting->setEnabled(backToLogin);
}

void TfrmWorkForm::SetBackToLoginEnabled(bool on) {
    btnProxySetting->setEnabled(on);
}

void TfrmWorkForm::ShowConnectionTime(const std::string& text) {
    pnlDataTime->setText(QString::fromStdString(text));
}

void TfrmWorkForm::ShowError(const std::string& text) {
    // Through the message dialog, so that --unattended answers and logs it as well.
    messagesShown_.push_back(text);
    ShowMessageDlg(text, MsgDlgType::Error, mb::OK);
}

} // namespace zkv
