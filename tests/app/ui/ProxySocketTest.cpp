// TPROXYClientSocket against real proxy servers (microsocks, Dante, tinyproxy, OpenSSH's
// dynamic forwarding) and a scripted proxy for the refusals no real server gives on demand.
#include "app/TPROXYClientSocket.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/RealServers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace zkv {
namespace {

using test::Bytes;
using test::SpinUntil;

// Records the socket's events in order and collects what it reads.
struct Recorder {
    explicit Recorder(TCustomPROXYClientSocket& s) : socket(s) {
        QObject::connect(&s, &TCustomPROXYClientSocket::OnConnect,
                         [this] { events.push_back("connect"); });
        QObject::connect(&s, &TCustomPROXYClientSocket::OnDisconnect,
                         [this] { events.push_back("disconnect"); });
        QObject::connect(&s, &TCustomPROXYClientSocket::OnError,
                         [this](int code) { events.push_back("error " + std::to_string(code)); });
        QObject::connect(&s, &TCustomPROXYClientSocket::OnProxyAutentification,
                         [this] { events.push_back("request"); });
        QObject::connect(&s, &TCustomPROXYClientSocket::OnProxyAutentificated,
                         [this] { events.push_back("accepted"); });
        QObject::connect(&s, &TCustomPROXYClientSocket::OnRead, [this] {
            ++reads;
            data += socket.Socket()->readAll();
        });
    }
    bool Has(const std::string& e) const {
        return std::find(events.begin(), events.end(), e) != events.end();
    }
    std::string Joined() const {
        std::string out;
        for (const auto& e : events)
            out += e + "; ";
        return out;
    }
    TCustomPROXYClientSocket& socket;
    std::vector<std::string> events;
    QByteArray data;
    int reads = 0;
};

class ProxySocketTest : public ::testing::Test {
protected:
    void Through(TPROXYVersion v, int proxyPort, const std::string& user = "",
                 const std::string& password = "") {
        socket.SetUseProxy(true);
        socket.SetPROXYVersion(v);
        socket.SetProxyHost("127.0.0.1");
        socket.SetProxyPort(proxyPort);
        socket.SetUserName(user);
        socket.SetUserPassword(password);
    }
    void To(const std::string& host, int port, const std::string& address = "") {
        socket.SetHost(host);
        socket.SetAddress(address);
        socket.SetPort(port);
    }
    // Opens, waits for the tunnel and the greeting, then checks an echo both ways.
    void ExpectWorkingTunnel() {
        rec.data.clear();
        socket.Open();
        ASSERT_TRUE(SpinUntil([&] { return rec.Has("connect") || rec.Has("disconnect"); }, 10000))
            << rec.Joined();
        ASSERT_TRUE(rec.Has("connect")) << rec.Joined();
        EXPECT_TRUE(socket.TunnelOpen());
        // The greeting the server sent at once must reach the owner, even if it came in the
        // same segment as the proxy's reply.
        ASSERT_TRUE(SpinUntil([&] { return rec.data.size() >= 6; }, 5000)) << rec.Joined();
        EXPECT_EQ(rec.data, QByteArray("HELLO\n"));
        rec.data.clear();
        ProxySocketConnection conn(socket);
        EXPECT_TRUE(conn.Active());
        const std::string ping = "ping through the tunnel";
        EXPECT_EQ(conn.Send(reinterpret_cast<const std::uint8_t*>(ping.data()), ping.size()),
                  static_cast<long>(ping.size()));
        ASSERT_TRUE(
            SpinUntil([&] { return rec.data.size() >= static_cast<int>(ping.size()); }, 5000));
        EXPECT_EQ(rec.data.toStdString(), ping);
        socket.Close();
        EXPECT_TRUE(rec.Has("disconnect"));
        EXPECT_FALSE(conn.Active());
        EXPECT_FALSE(rec.Has("error 10054")) << rec.Joined();
    }
    // Opens and waits for the attempt to end; returns the events.
    std::string ExpectFailure(int code) {
        socket.Open();
        EXPECT_TRUE(SpinUntil([&] { return rec.Has("disconnect"); }, 10000)) << rec.Joined();
        EXPECT_TRUE(rec.Has("error " + std::to_string(code))) << rec.Joined();
        EXPECT_FALSE(rec.Has("connect")) << rec.Joined();
        EXPECT_FALSE(socket.Active());
        // The error comes before the disconnect, and each comes once.
        int errors = 0, disconnects = 0;
        for (const auto& e : rec.events) {
            if (e.rfind("error", 0) == 0) {
                ++errors;
                EXPECT_EQ(disconnects, 0) << rec.Joined();
            }
            disconnects += e == "disconnect";
        }
        EXPECT_EQ(errors, 1) << rec.Joined();
        EXPECT_EQ(disconnects, 1) << rec.Joined();
        return rec.Joined();
    }

    test::GreetingEchoServer server;
    TPROXYClientSocket socket;
    Recorder rec{socket};
};

TEST_F(ProxySocketTest, DirectConnection) {
    To("localhost", server.Port());
    ExpectWorkingTunnel();
    EXPECT_FALSE(rec.Has("request"));
}

TEST_F(ProxySocketTest, DirectConnectionRefusedEndsWithDisconnect) {
    To("", test::FreePort(), "127.0.0.1");
    ExpectFailure(10061);
}

TEST_F(ProxySocketTest, Socks5WithUserAndPasswordThroughMicrosocks) {
    test::RealProxy proxy(test::RealProxy::Kind::Microsocks);
    ASSERT_TRUE(proxy.Start("zkvuser", "s3cret")) << proxy.Error();
    Through(TPROXYVersion::SOCKS_5, proxy.Port(), "zkvuser", "s3cret");
    To("127.0.0.1", server.Port());
    ExpectWorkingTunnel();
    EXPECT_TRUE(rec.Has("request"));
    EXPECT_TRUE(rec.Has("accepted"));
}

TEST_F(ProxySocketTest, Socks5RefusalsFromMicrosocks) {
    test::RealProxy proxy(test::RealProxy::Kind::Microsocks);
    ASSERT_TRUE(proxy.Start("zkvuser", "s3cret")) << proxy.Error();
    Through(TPROXYVersion::SOCKS_5, proxy.Port(), "zkvuser", "wrong");
    To("127.0.0.1", server.Port());
    ExpectFailure(30267);

    // Right credentials, but nothing listens at the destination: reply code 5.
    rec.events.clear();
    socket.SetUserPassword("s3cret");
    To("", test::FreePort(), "127.0.0.1");
    ExpectFailure(30015);
}

TEST_F(ProxySocketTest, Socks4AndSocks5ThroughDante) {
    test::RealProxy proxy(test::RealProxy::Kind::Dante);
    const int blocked = test::FreePort();
    ASSERT_TRUE(proxy.Start("", "", blocked)) << proxy.Error();

    Through(TPROXYVersion::SOCKS_4, proxy.Port(), "someone");
    To("localhost", server.Port());
    ExpectWorkingTunnel();

    rec.events.clear();
    Through(TPROXYVersion::SOCKS_5, proxy.Port());
    To("", server.Port(), "127.0.0.1");
    ExpectWorkingTunnel();

    // The ruleset refuses the blocked port: SOCKS 4 reply 91, SOCKS 5 reply 2.
    rec.events.clear();
    Through(TPROXYVersion::SOCKS_4, proxy.Port());
    To("", blocked, "127.0.0.1");
    ExpectFailure(30001);

    rec.events.clear();
    Through(TPROXYVersion::SOCKS_5, proxy.Port());
    ExpectFailure(30012);
}

TEST_F(ProxySocketTest, HttpConnectWithBasicAuthorisationThroughTinyproxy) {
    test::RealProxy proxy(test::RealProxy::Kind::Tinyproxy);
    ASSERT_TRUE(proxy.Start("zkvuser", "s3cret")) << proxy.Error();
    Through(TPROXYVersion::HTTP_PROXY, proxy.Port(), "zkvuser", "s3cret");
    To("127.0.0.1", server.Port());
    ExpectWorkingTunnel();

    rec.events.clear();
    socket.SetUserPassword("wrong");
    ExpectFailure(30009);
    // tinyproxy answers wrong credentials with 401.
    const std::string& reply = socket.Handshake()->HttpReply();
    EXPECT_TRUE(reply.rfind("HTTP/1.0 401", 0) == 0 || reply.rfind("HTTP/1.0 407", 0) == 0)
        << reply;
}

TEST_F(ProxySocketTest, Socks4AThroughSshDynamicForwarding) {
    test::RealProxy proxy(test::RealProxy::Kind::SshDynamic);
    ASSERT_TRUE(proxy.Start()) << proxy.Error();
    Through(TPROXYVersion::SOCKS_4A, proxy.Port(), "u");
    socket.SetUseProxyToResolveHost(true);
    To("localhost", server.Port());
    ExpectWorkingTunnel();

    // SOCKS 5 with the name left to the proxy works there too.
    rec.events.clear();
    Through(TPROXYVersion::SOCKS_5, proxy.Port());
    ExpectWorkingTunnel();
}

TEST_F(ProxySocketTest, ScriptedRefusals) {
    struct Case {
        TPROXYVersion version;
        std::vector<QByteArray> replies;
        bool close;
        int code;
    } cases[] = {
        {TPROXYVersion::SOCKS_4, {Bytes({4, 90, 0, 0, 0, 0, 0, 0})}, false, 30002},
        {TPROXYVersion::SOCKS_5, {Bytes({5, 0xFF})}, false, 30004},
        {TPROXYVersion::SOCKS_5, {Bytes({5, 1})}, false, 30266},
        {TPROXYVersion::SOCKS_5,
         {Bytes({5, 0}), Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0})},
         false,
         30011},
        {TPROXYVersion::SOCKS_5,
         {Bytes({5, 0}), Bytes({5, 255, 0, 1, 0, 0, 0, 0, 0, 0})},
         false,
         30265},
        // The proxy hangs up in the middle of its reply.
        {TPROXYVersion::SOCKS_4, {Bytes({0, 90, 0})}, true, 30006},
        {TPROXYVersion::HTTP_PROXY, {QByteArray("HTTP/1.0 200 OK\r\n")}, true, 30006},
    };
    for (const auto& c : cases) {
        test::ScriptedProxy proxy(c.replies, c.close);
        rec.events.clear();
        Through(c.version, proxy.Port());
        To("", server.Port(), "127.0.0.1");
        ExpectFailure(c.code);
    }
}

TEST_F(ProxySocketTest, ProxyNotListening) {
    Through(TPROXYVersion::SOCKS_5, test::FreePort());
    To("", server.Port(), "127.0.0.1");
    ExpectFailure(10061);
}

TEST_F(ProxySocketTest, CloseDuringTheHandshakeIsNoError) {
    // A proxy that never answers.
    test::ScriptedProxy silent({}, false);
    Through(TPROXYVersion::SOCKS_5, silent.Port());
    To("", server.Port(), "127.0.0.1");
    socket.Open();
    ASSERT_TRUE(SpinUntil([&] { return rec.Has("request"); }, 5000)) << rec.Joined();
    EXPECT_TRUE(socket.Active());
    EXPECT_FALSE(socket.TunnelOpen());
    ProxySocketConnection conn(socket);
    EXPECT_FALSE(conn.Active()); // not for the framing before the tunnel is open
    socket.Close();
    EXPECT_EQ(rec.Joined(), "request; disconnect; ");
    // Settings of the proxy change only while the socket is idle.
    socket.SetUseProxy(false);
    EXPECT_FALSE(socket.UseProxy());
}

TEST_F(ProxySocketTest, KindAndUseProxyAreFixedWhileActive) {
    test::ScriptedProxy silent({}, false);
    Through(TPROXYVersion::SOCKS_5, silent.Port());
    To("", server.Port(), "127.0.0.1");
    socket.Open();
    socket.SetUseProxy(false);
    socket.SetPROXYVersion(TPROXYVersion::SOCKS_4);
    EXPECT_TRUE(socket.UseProxy());
    EXPECT_EQ(socket.PROXYVersion(), TPROXYVersion::SOCKS_5);
    socket.Close();
}

// An owner whose read handler consumes one byte and runs the event loop: reads are neither
// nested nor lost, and arrive in order.
TEST_F(ProxySocketTest, BytesSentFromAnotherThreadPastAFullBufferArriveWholeAndInOrder) {
    // The ATA worker sends its replies itself: 4 MiB from a thread of its own fill the kernel's
    // buffers, the rest waits in the socket and leaves in order as the echo is read here.
    To("", server.Port(), "127.0.0.1");
    socket.Open();
    ASSERT_TRUE(SpinUntil([&] { return rec.data.size() >= 6; }, 10000)) << rec.Joined();
    rec.data.clear();
    ProxySocketConnection conn(socket);
    ASSERT_TRUE(conn.SendsFromAnyThread() && conn.Active());
    std::vector<std::uint8_t> bytes(4u << 20);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i % 251);
    std::atomic<bool> sent{true};
    std::thread worker([&] {
        for (std::size_t at = 0; at < bytes.size(); at += 4096)
            sent = sent && conn.Send(bytes.data() + at, 4096) == 4096;
    });
    const bool echoed = SpinUntil([&] { return rec.data.size() >= int(bytes.size()); }, 30000);
    worker.join();
    EXPECT_TRUE(sent);
    ASSERT_TRUE(echoed) << rec.data.size();
    EXPECT_EQ(rec.data.size(), int(bytes.size()));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), rec.data.begin(),
                           [](std::uint8_t a, char b) { return a == std::uint8_t(b); }));
    socket.Close();
}

TEST_F(ProxySocketTest, ReadHandlerRunningTheEventLoop) {
    test::GreetingEchoServer bulk(QByteArray(3000, 'x') + "END");
    TPROXYClientSocket s;
    To("", bulk.Port(), "127.0.0.1");
    s.SetHost("");
    s.SetAddress("127.0.0.1");
    s.SetPort(bulk.Port());
    int depth = 0, maxDepth = 0;
    QByteArray got;
    QObject::connect(&s, &TCustomPROXYClientSocket::OnRead, [&] {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        got += s.Socket()->read(1);
        QCoreApplication::processEvents();
        --depth;
    });
    s.Open();
    ASSERT_TRUE(SpinUntil([&] { return got.endsWith("END"); }, 20000)) << got.size();
    EXPECT_EQ(got, QByteArray(3000, 'x') + "END");
    EXPECT_EQ(maxDepth, 1);
    s.Close();
}

} // namespace
} // namespace zkv
