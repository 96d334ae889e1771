// Small helpers for the Qt tests: an event-loop wait, a target server, a scripted proxy.
#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <functional>
#include <vector>

namespace zkv::test {

// Runs the event loop until `done` is true or `timeoutMs` passed; returns `done()`.
bool SpinUntil(const std::function<bool()>& done, int timeoutMs);
// Runs the event loop for `ms`.
void Spin(int ms);

// The far end for proxy tests: greets every connection with `greeting` at once and then echoes
// whatever it receives.
class GreetingEchoServer : public QTcpServer {
public:
    explicit GreetingEchoServer(QByteArray greeting = "HELLO\n");
    int Port() const { return serverPort(); }
    int Connections() const { return connections_; }

private:
    QByteArray greeting_;
    int connections_ = 0;
};

// A proxy that answers each message of the client with the next scripted reply, and hangs up
// after the last one when told to. For refusals that no real proxy gives on demand.
class ScriptedProxy : public QTcpServer {
public:
    ScriptedProxy(std::vector<QByteArray> replies, bool closeAfterLast);
    int Port() const { return serverPort(); }
    // Everything the last client sent.
    const QByteArray& Received() const { return received_; }

private:
    std::vector<QByteArray> replies_;
    bool closeAfterLast_;
    QByteArray received_;
};

QByteArray Bytes(std::initializer_list<int> v);

// Stands in for the desktop: while it lives, QDesktopServices::openUrl hands http, https, file
// and mailto addresses to it instead of starting a program; it records them.
class DesktopStandIn : public QObject {
    Q_OBJECT
public:
    DesktopStandIn();
    ~DesktopStandIn() override;
    std::vector<QUrl> opened;

public slots:
    void Open(const QUrl& url) { opened.push_back(url); }
};

} // namespace zkv::test
