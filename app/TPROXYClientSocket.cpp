#include "app/TPROXYClientSocket.h"

#include <QEvent>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zkv {

int SocketErrorCode(QAbstractSocket::SocketError e) {
    switch (e) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10054;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::DatagramTooLargeError:
        return 10040;
    case QAbstractSocket::AddressInUseError:
        return 10048;
    case QAbstractSocket::SocketAddressNotAvailableError:
        return 10049;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10045;
    case QAbstractSocket::OperationError:
        return 10022;
    case QAbstractSocket::TemporaryError:
        return 10035;
    default:
        return 10050; // the network failed in some other way
    }
}

TCustomPROXYClientSocket::TCustomPROXYClientSocket(QObject* parent)
    : QObject(parent), inner_(new QTcpSocket(this)) {
    connect(inner_, &QTcpSocket::hostFound, this, &TCustomPROXYClientSocket::OnLookup);
    connect(inner_, &QTcpSocket::connected, this, &TCustomPROXYClientSocket::InnerConnected);
    connect(inner_, &QTcpSocket::stateChanged, this, &TCustomPROXYClientSocket::InnerStateChanged);
    connect(inner_, &QTcpSocket::errorOccurred, this, &TCustomPROXYClientSocket::InnerError);
    connect(inner_, &QTcpSocket::readyRead, this, &TCustomPROXYClientSocket::HandleRead);
    connect(inner_, &QTcpSocket::bytesWritten, this, &TCustomPROXYClientSocket::InnerBytesWritten);
}

TCustomPROXYClientSocket::~TCustomPROXYClientSocket() {
    // No events to an owner that is going away.
    inner_->disconnect(this);
    CloseSendSide();
    inner_->abort();
}

void TCustomPROXYClientSocket::OpenSendSide() {
    CloseSendSide();
    // The handshake's last bytes leave before any of the connection's own.
    inner_->flush();
    if (inner_->bytesToWrite() > 0)
        inner_->waitForBytesWritten(1000);
    const auto fd = inner_->socketDescriptor();
    std::lock_guard g(sendLock_);
    sendFd_ = fd < 0 ? -1 : ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
    if (sendFd_ < 0)
        return;
    writable_ = new QSocketNotifier(sendFd_, QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &TCustomPROXYClientSocket::FlushPending);
    sendOpen_ = true;
}

void TCustomPROXYClientSocket::CloseSendSide() {
    sendOpen_ = false;
    std::lock_guard g(sendLock_);
    delete writable_;
    writable_ = nullptr;
    if (sendFd_ >= 0)
        ::close(sendFd_);
    sendFd_ = -1;
    pending_.clear();
    flushPosted_ = false;
}

long TCustomPROXYClientSocket::SendAnyThread(const std::uint8_t* src, std::size_t n, bool more) {
    std::lock_guard g(sendLock_);
    if (sendFd_ < 0)
        return -1;
    std::size_t done = 0;
    if (pending_.empty()) {
        const int flags = MSG_DONTWAIT | MSG_NOSIGNAL | (more ? MSG_MORE : 0);
        for (;;) {
            const ssize_t k = ::send(sendFd_, src, n, flags);
            if (k >= 0) {
                done = static_cast<std::size_t>(k);
                break;
            }
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1; // the read side reports the failure and ends the connection
            break;
        }
    }
    if (done < n) {
        pending_.insert(pending_.end(), src + done, src + n);
        if (!flushPosted_) {
            flushPosted_ = true;
            QMetaObject::invokeMethod(this, &TCustomPROXYClientSocket::FlushPending,
                                      Qt::QueuedConnection);
        }
    }
    return static_cast<long>(n);
}

void TCustomPROXYClientSocket::FlushPending() {
    bool sent = false;
    {
        std::lock_guard g(sendLock_);
        flushPosted_ = false;
        while (sendFd_ >= 0 && !pending_.empty()) {
            const ssize_t k =
                ::send(sendFd_, pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (k < 0 && errno == EINTR)
                continue;
            if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                pending_.clear(); // the read side reports the failure
            if (k <= 0)
                break;
            pending_.erase(pending_.begin(), pending_.begin() + k);
            sent = true;
        }
        if (writable_)
            writable_->setEnabled(!pending_.empty());
    }
    if (sent)
        emit OnWrite();
}

void TCustomPROXYClientSocket::SetUseProxy(bool v) {
    if (!Active())
        useProxy_ = v;
}

void TCustomPROXYClientSocket::SetPROXYVersion(TPROXYVersion v) {
    if (!Active())
        version_ = v;
}

bool TCustomPROXYClientSocket::Active() const {
    return inner_->state() != QAbstractSocket::UnconnectedState;
}

void TCustomPROXYClientSocket::Open() {
    if (Active())
        Close();
    tunnelOpen_ = false;
    inRead_ = false;
    readPending_ = false;
    errorReported_ = false;
    closing_ = false;
    closeReason_.clear();
    handshake_.reset();
    std::string host;
    int port = 0;
    if (useProxy_) {
        ProxyTarget t;
        t.host = host_;
        t.address = address_;
        t.port = port_;
        t.userName = userName_;
        t.userPassword = userPassword_;
        t.useProxyToResolveHost = useProxyToResolveHost_;
        t.version = version_;
        handshake_ = std::make_unique<ProxyHandshake>(std::move(t));
        host = proxyAddress_.empty() ? proxyHost_ : proxyAddress_;
        port = proxyPort_;
    } else {
        host = address_.empty() ? host_ : address_;
        port = port_;
    }
    opened_ = true;
    if (port <= 0 || port > 65535) {
        // Nothing to connect to; report it like the socket would and end the attempt.
        errorReported_ = true;
        emit OnError(SocketErrorCode(QAbstractSocket::SocketAddressNotAvailableError));
        Finished();
        return;
    }
    inner_->connectToHost(QString::fromStdString(host), static_cast<quint16>(port));
}

void TCustomPROXYClientSocket::Close() {
    closing_ = true;
    // What waits goes as far as the kernel takes it now, before the socket closes.
    FlushPending();
    CloseSendSide();
    if (Active()) {
        if (inner_->state() == QAbstractSocket::ConnectedState)
            inner_->flush();
        inner_->abort(); // fires OnDisconnect through the state change
    }
    if (opened_)
        Finished();
    tunnelOpen_ = false;
}

void TCustomPROXYClientSocket::InnerStateChanged(QAbstractSocket::SocketState s) {
    if (s == QAbstractSocket::ConnectingState)
        emit OnConnecting();
    if (s != QAbstractSocket::UnconnectedState || !opened_)
        return;
    // A real error that the socket has not reported yet goes out before the disconnect.
    const auto e = inner_->error();
    if (!errorReported_ && !closing_) {
        if (e != QAbstractSocket::UnknownSocketError &&
            e != QAbstractSocket::RemoteHostClosedError) {
            errorReported_ = true;
            emit OnError(SocketErrorCode(e));
        } else if (useProxy_ && !tunnelOpen_ && handshake_ && handshake_->PeerClosed() != 0) {
            // The proxy hung up before its reply was complete.
            errorReported_ = true;
            emit OnError(handshake_->PeerClosed());
        }
    }
    Finished();
}

void TCustomPROXYClientSocket::InnerError(QAbstractSocket::SocketError e) {
    if (!opened_ || closing_ || errorReported_)
        return;
    if (e == QAbstractSocket::RemoteHostClosedError)
        return; // an orderly close: the state change reports the disconnect
    errorReported_ = true;
    emit OnError(SocketErrorCode(e));
    tunnelOpen_ = false;
    if (Active())
        inner_->abort();
    else
        Finished();
}

void TCustomPROXYClientSocket::Finished() {
    CloseSendSide();
    if (!opened_)
        return;
    opened_ = false;
    emit OnDisconnect();
    tunnelOpen_ = false;
}

void TCustomPROXYClientSocket::Fail(int code) {
    errorReported_ = true;
    emit OnError(code);
    tunnelOpen_ = false;
    closing_ = true;
    if (Active())
        inner_->abort();
    if (opened_)
        Finished();
}

void TCustomPROXYClientSocket::WatchSocketNotifiers() {
    for (QSocketNotifier* n : inner_->findChildren<QSocketNotifier*>())
        n->installEventFilter(this);
}

bool TCustomPROXYClientSocket::eventFilter(QObject* watched, QEvent* e) {
    // Before the TCP socket reads: a reset (or another asynchronous failure) is pending as the
    // socket's error, which the read that follows would only report as an orderly close.
    if (e->type() == QEvent::SockAct && opened_ && !closing_ && closeReason_.empty()) {
        const auto fd = inner_->socketDescriptor();
        int err = 0;
        socklen_t len = sizeof err;
        if (fd >= 0 && ::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
            err != 0)
            closeReason_ = std::strerror(err);
    }
    return QObject::eventFilter(watched, e);
}

void TCustomPROXYClientSocket::InnerConnected() {
    WatchSocketNotifiers();
    if (!useProxy_ || !handshake_) {
        tunnelOpen_ = true;
        OpenSendSide();
        emit OnConnect();
        return;
    }
    Apply(handshake_->Start(), true);
}

bool TCustomPROXYClientSocket::SendHandshake(const std::vector<std::uint8_t>& bytes) {
    const qint64 n = inner_->write(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<qint64>(bytes.size()));
    if (n != static_cast<qint64>(bytes.size())) {
        Fail(proxyerr::kShortSend);
        return false;
    }
    inner_->flush();
    return true;
}

bool TCustomPROXYClientSocket::Apply(const ProxyHandshake::Step& step, bool firstMessage) {
    if (step.error != 0) {
        Fail(step.error);
        return false;
    }
    if (step.accepted)
        emit OnProxyAutentificated();
    if (!step.send.empty()) {
        if (!SendHandshake(step.send))
            return false;
        if (firstMessage && step.requestSent)
            emit OnProxyAutentification();
    }
    if (step.tunnelOpen) {
        tunnelOpen_ = true;
        OpenSendSide();
        emit OnConnect();
    }
    return Active();
}

void TCustomPROXYClientSocket::ReadHandshake() {
    while (Active() && handshake_ && !tunnelOpen_ && inner_->bytesAvailable() > 0) {
        const std::size_t want = handshake_->WantedBytes();
        if (want == 0)
            break;
        const QByteArray got = inner_->read(static_cast<qint64>(want));
        if (got.isEmpty())
            break;
        const auto step = handshake_->Feed(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(got.constData()),
                                          static_cast<std::size_t>(got.size())));
        if (!Apply(step, false))
            return;
    }
}

void TCustomPROXYClientSocket::HandleRead() {
    if (inRead_) {
        readPending_ = true;
        return;
    }
    inRead_ = true;
    if (useProxy_ && !tunnelOpen_)
        ReadHandshake();
    if (tunnelOpen_ && inner_->bytesAvailable() > 0) {
        const qint64 before = inner_->bytesAvailable();
        emit OnRead();
        // Level-triggered: the owner reads one step per event; what is left gets another event.
        if (tunnelOpen_ && inner_->bytesAvailable() > 0 && inner_->bytesAvailable() != before)
            readPending_ = true;
    }
    inRead_ = false;
    if (readPending_) {
        readPending_ = false;
        QMetaObject::invokeMethod(this, &TCustomPROXYClientSocket::HandleRead,
                                  Qt::QueuedConnection);
    }
}

void TCustomPROXYClientSocket::InnerBytesWritten() {
    if (tunnelOpen_ || !useProxy_)
        emit OnWrite();
}

bool ProxySocketConnection::Active() const {
    return socket_.SendOpen();
}

std::size_t ProxySocketConnection::BytesWaiting() const {
    const qint64 n = socket_.Socket()->bytesAvailable();
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t ProxySocketConnection::Receive(std::uint8_t* dst, std::size_t max) {
    const qint64 n = socket_.Socket()->read(reinterpret_cast<char*>(dst), static_cast<qint64>(max));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

long ProxySocketConnection::Send(const std::uint8_t* src, std::size_t n) {
    return socket_.SendAnyThread(src, n, false);
}

long ProxySocketConnection::SendMore(const std::uint8_t* src, std::size_t n) {
    return socket_.SendAnyThread(src, n, true);
}

} // namespace zkv
