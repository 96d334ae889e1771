#include "tests/app/ui/QtTestSupport.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QThread>

namespace zkv::test {

bool SpinUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

void Spin(int ms) {
    SpinUntil([] { return false; }, ms);
}

namespace {
constexpr const char* kCaughtSchemes[] = {"http", "https", "file", "mailto"};
}

DesktopStandIn::DesktopStandIn() {
    for (const char* scheme : kCaughtSchemes)
        QDesktopServices::setUrlHandler(scheme, this, "Open");
}

DesktopStandIn::~DesktopStandIn() {
    for (const char* scheme : kCaughtSchemes)
        QDesktopServices::unsetUrlHandler(scheme);
}

GreetingEchoServer::GreetingEchoServer(QByteArray greeting) : greeting_(std::move(greeting)) {
    listen(QHostAddress::LocalHost, 0);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = nextPendingConnection()) {
            ++connections_;
            s->write(greeting_);
            connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

ScriptedProxy::ScriptedProxy(std::vector<QByteArray> replies, bool closeAfterLast)
    : replies_(std::move(replies)), closeAfterLast_(closeAfterLast) {
    listen(QHostAddress::LocalHost, 0);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = nextPendingConnection()) {
            received_.clear();
            auto step = std::make_shared<std::size_t>(0);
            connect(s, &QTcpSocket::readyRead, s, [this, s, step] {
                received_ += s->readAll();
                if (*step < replies_.size()) {
                    s->write(replies_[(*step)++]);
                    s->flush();
                    if (*step == replies_.size() && closeAfterLast_)
                        s->disconnectFromHost();
                }
            });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

QByteArray Bytes(std::initializer_list<int> v) {
    QByteArray out;
    for (int x : v)
        out.append(static_cast<char>(x));
    return out;
}

} // namespace zkv::test
