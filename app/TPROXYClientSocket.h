// TPROXYClientSocket: the client's connection to the service, directly or through a proxy.
//
// Wraps one QTcpSocket. With UseProxy it connects to the proxy, performs the SOCKS 4, SOCKS 4A,
// SOCKS 5 or HTTP CONNECT handshake (app/model/ProxyHandshake.h) and only then reports
// OnConnect; from then on it is a plain connection to the server. Handshake failures arrive as
// OnError with codes 30001..30267; errors of the TCP socket itself arrive with the usual
// socket error numbers (10061 refused, 10060 timed out, 11001 host not found, ...). Every error
// closes the connection, and every close of a connection that was opened fires OnDisconnect
// exactly once, also when the connection never came up, so the owner can always retry from
// its disconnect handler.
//
// Once the tunnel is open, sends go straight to the socket from any thread (SendAnyThread):
// the ATA worker's replies leave without waiting for the main thread. What the kernel cannot take
// at once waits here, in order, and leaves when the socket is writable again.
//
// Reads are level-triggered as the owner expects: after OnRead, if the owner consumed
// something and bytes are still waiting, another OnRead follows from the event loop. A read
// event that arrives while OnRead is running (its handler may run the event loop) is held and
// delivered once the running one returns.
#pragma once

#include "app/model/ProxyHandshake.h"
#include "protocol/Connection.h"

#include <QObject>
#include <QTcpSocket>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QSocketNotifier;

namespace zkv {

// Maps an error of the TCP socket to the socket error number reported through OnError.
int SocketErrorCode(QAbstractSocket::SocketError e);

class TCustomPROXYClientSocket : public QObject {
    Q_OBJECT
public:
    explicit TCustomPROXYClientSocket(QObject* parent = nullptr);
    ~TCustomPROXYClientSocket() override;

    // The final destination.
    const std::string& Host() const { return host_; }
    void SetHost(std::string v) { host_ = std::move(v); }
    const std::string& Address() const { return address_; }
    void SetAddress(std::string v) { address_ = std::move(v); }
    int Port() const { return port_; }
    void SetPort(int v) { port_ = v; }

    // The proxy. UseProxy and PROXYVersion cannot change while the socket is active.
    bool UseProxy() const { return useProxy_; }
    void SetUseProxy(bool v);
    const std::string& ProxyHost() const { return proxyHost_; }
    void SetProxyHost(std::string v) { proxyHost_ = std::move(v); }
    const std::string& ProxyAddress() const { return proxyAddress_; }
    void SetProxyAddress(std::string v) { proxyAddress_ = std::move(v); }
    int ProxyPort() const { return proxyPort_; }
    void SetProxyPort(int v) { proxyPort_ = v; }
    const std::string& UserName() const { return userName_; }
    void SetUserName(std::string v) { userName_ = std::move(v); }
    const std::string& UserPassword() const { return userPassword_; }
    void SetUserPassword(std::string v) { userPassword_ = std::move(v); }
    bool UseProxyToResolveHost() const { return useProxyToResolveHost_; }
    void SetUseProxyToResolveHost(bool v) { useProxyToResolveHost_ = v; }
    TPROXYVersion PROXYVersion() const { return version_; }
    void SetPROXYVersion(TPROXYVersion v);

    void Open();
    void Close();
    // The TCP socket is in use (looking up, connecting, handshaking or connected).
    bool Active() const;
    // The connection to the server is usable: connected, and the proxy's tunnel open if any.
    bool TunnelOpen() const { return tunnelOpen_; }
    // The TCP socket, for reading once the tunnel is open.
    QTcpSocket* Socket() { return inner_; }
    // Any thread: the tunnel is open and takes bytes.
    bool SendOpen() const { return sendOpen_; }
    // Any thread (one at a time; the framing serializes): sends n bytes on the open tunnel, or
    // keeps what the kernel does not take now to send it in order later. n, or -1 when the
    // tunnel is not open or the socket failed. `more`: more bytes of the same packet follow.
    long SendAnyThread(const std::uint8_t* src, std::size_t n, bool more);
    // The handshake of the current attempt (null without a proxy or before Open).
    const ProxyHandshake* Handshake() const { return handshake_.get(); }
    // Why the peer's end of this attempt's connection closed when the system gave a reason (a
    // reset: "Connection reset by peer"); empty for an orderly close or our own. The TCP socket
    // reports every failed read as an orderly close, so the reason is read from the socket
    // itself when it becomes readable.
    const std::string& CloseReason() const { return closeReason_; }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

signals:
    void OnLookup();
    void OnConnecting();
    void OnConnect();
    void OnDisconnect();
    void OnRead();
    void OnWrite();
    void OnError(int code);
    void OnProxyAutentification();
    void OnProxyAutentificated();

private:
    // On this object's thread: the sending side at the tunnel's opening, and at its end.
    void OpenSendSide();
    void CloseSendSide();
    // Sends what waits; on this object's thread.
    void FlushPending();
    void InnerConnected();
    void InnerStateChanged(QAbstractSocket::SocketState s);
    void InnerError(QAbstractSocket::SocketError e);
    void InnerBytesWritten();
    void HandleRead();
    void ReadHandshake();
    // Sends a handshake message; false (after failing with 30005) when it did not all go out.
    bool SendHandshake(const std::vector<std::uint8_t>& bytes);
    // Applies the result of a handshake step; false when the attempt ended.
    bool Apply(const ProxyHandshake::Step& step, bool firstMessage);
    void Fail(int code);
    void Finished();
    // Watches the TCP socket's readiness notifiers for a pending socket error.
    void WatchSocketNotifiers();

    QTcpSocket* inner_;
    std::atomic<bool> sendOpen_{false};
    std::mutex sendLock_;
    int sendFd_ = -1;                   // a descriptor of the socket's own, for sending
    std::vector<std::uint8_t> pending_; // bytes the kernel has not taken yet, in order
    bool flushPosted_ = false;
    QSocketNotifier* writable_ = nullptr;
    std::string host_, address_;
    int port_ = 0;
    bool useProxy_ = false;
    std::string proxyHost_, proxyAddress_;
    int proxyPort_ = 0;
    std::string userName_, userPassword_;
    bool useProxyToResolveHost_ = false;
    TPROXYVersion version_ = TPROXYVersion::HTTP_PROXY;

    std::unique_ptr<ProxyHandshake> handshake_;
    bool tunnelOpen_ = false;
    bool opened_ = false;        // an attempt is under way; its end fires OnDisconnect
    bool errorReported_ = false; // this attempt's error went out already
    bool closing_ = false;       // the close is ours, not the peer's
    bool inRead_ = false;
    bool readPending_ = false;
    std::string closeReason_;
};

class TPROXYClientSocket : public TCustomPROXYClientSocket {
    Q_OBJECT
public:
    using TCustomPROXYClientSocket::TCustomPROXYClientSocket;
};

// The byte connection the framing runs over, on top of a TPROXYClientSocket.
class ProxySocketConnection : public IConnection {
public:
    explicit ProxySocketConnection(TCustomPROXYClientSocket& socket) : socket_(socket) {}
    bool Active() const override;
    bool SendsFromAnyThread() const override { return true; }
    std::size_t BytesWaiting() const override;
    std::size_t Receive(std::uint8_t* dst, std::size_t max) override;
    long Send(const std::uint8_t* src, std::size_t n) override;
    long SendMore(const std::uint8_t* src, std::size_t n) override;

private:
    TCustomPROXYClientSocket& socket_;
};

} // namespace zkv
