// The work form against the service stand-in: login and engagement directly and through every
// proxy kind on real proxy servers, resume after a technician-requested restart, and the
// framing faults the stand-in produces on request, all through the window's real socket.
#include "agent/UserClientSocket.h"
#include "support/IniFile.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/ServiceStandIn.h"
#include "tests/app/ui/WorkFormSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <QPushButton>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace zkv {
namespace {

using test::FormUnderTest;
using test::SpinUntil;
using json = nlohmann::json;

constexpr const char* kEngaged = "The engagement is open.";

using ServiceSim = test::ServiceStandIn;

std::string Hex(const std::vector<std::uint8_t>& b) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (auto x : b) {
        out += d[x >> 4];
        out += d[x & 15];
    }
    return out;
}

// The login command data for the default test user, built from the table of offsets by hand.
std::string ExpectedLoginData() {
    std::vector<std::uint8_t> b;
    for (const char* t : {"NoName", "user@example.org", "482916"}) {
        b.insert(b.end(), t, t + std::strlen(t));
        b.push_back(0);
    }
    const std::size_t L = b.size();
    b.resize(L + 97, 0);
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put32(L, 189);
    put32(L + 4, 17);
    put32(L + 8, 0); // version 0.1.0.0
    put32(L + 12, 1);
    b[L + 84] = 2; // the client's role
    return Hex(b);
}

void ExpectLoggedIn(const FormUnderTest& t, const ServiceSim& sim) {
    EXPECT_TRUE(t.Shows("Connected.")) << t.WindowText();
    EXPECT_TRUE(t.Shows("Server version is 1.0.0:0")) << t.WindowText();
    EXPECT_TRUE(t.Shows("Welcome to the Zelkova service.")) << t.WindowText();
    EXPECT_TRUE(t.Shows(kEngaged)) << t.WindowText();
    EXPECT_TRUE(t.form->Connected());
    ASSERT_TRUE(SpinUntil([&] { return !sim.Items(CMD_CREATE_SEANS, 0).empty(); }, 3000));
    const auto login = sim.Items(CMD_LET_ME_CONNECT, 0);
    ASSERT_FALSE(login.empty());
    EXPECT_EQ(login.back()["data"], ExpectedLoginData());
    EXPECT_EQ(login.back()["flags"], 1);
    // The stand-in read the engagement request with the key it gave this connection.
    const auto seans = sim.Items(CMD_CREATE_SEANS, 0);
    EXPECT_EQ(seans.back()["flags"], 0x21);
    EXPECT_EQ(seans.back()["data"].get<std::string>().substr(0, 8), "e9030000"); // own id 1001
}

TEST(ServiceLogin, DirectLoginOpensTheEngagement) {
    ServiceSim sim;
    ASSERT_TRUE(sim.Start({"--order", "17", "--keepalive-ms", "300"})) << sim.Error();
    FormUnderTest t("127.0.0.1", sim.Port());
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.Shows(kEngaged); }, 8000)) << t.WindowText();
    ExpectLoggedIn(t, sim);
    EXPECT_TRUE(t.Shows("Number of the order: 17"));
    EXPECT_EQ(ReadSeansData(t.dir.File("UserSetup.ini")).seansId, 77);
    // Keep-alives restart the ping watchdog: it never comes near its minute.
    test::Spin(1000);
    EXPECT_GT(t.form->tmrPing->remainingTime(), 58000);
    EXPECT_GT(t.form->Frames().Stats().keepalives, 1u);
    // The user disconnects: the cipher is back on its built-in key.
    t.form->btnReconnect->click();
    EXPECT_FALSE(t.form->Connected());
    EXPECT_EQ(TransportData::Global().WorkingKey(), kBuiltinKey);
    EXPECT_TRUE(test::ReadFile(t.sessionLog.Path()).find(kEngaged) != std::string::npos);
}

struct ProxyCase {
    const char* name;
    test::RealProxy::Kind server;
    TPROXYVersion kind;
    std::string user, password;
    bool resolveThroughProxy;
    std::string serverHost;
};

class ServiceLoginThroughProxy : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ServiceLoginThroughProxy, LogsInAndOpensTheEngagement) {
    const ProxyCase& c = GetParam();
    ServiceSim sim;
    ASSERT_TRUE(sim.Start()) << sim.Error();
    test::RealProxy proxy(c.server);
    ASSERT_TRUE(proxy.Start(c.user, c.password)) << proxy.Error();
    ProxySetting p;
    p.useProxy = true;
    p.proxyKind = c.kind;
    p.proxyHost = "127.0.0.1";
    p.proxyPort = proxy.Port();
    p.proxyUserName = c.user;
    p.proxyPassword = c.password;
    p.resolveHostThroughProxy = c.resolveThroughProxy;
    FormUnderTest t(c.serverHost, sim.Port(), p);
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.Shows(kEngaged); }, 10000)) << t.WindowText();
    ExpectLoggedIn(t, sim);
    EXPECT_EQ(sim.Connections(), 1);
    t.form->btnReconnect->click();
}

INSTANTIATE_TEST_SUITE_P(
    RealProxies, ServiceLoginThroughProxy,
    ::testing::Values(ProxyCase{"Socks4Dante", test::RealProxy::Kind::Dante, TPROXYVersion::SOCKS_4,
                                "", "", false, "127.0.0.1"},
                      ProxyCase{"Socks4ASsh", test::RealProxy::Kind::SshDynamic,
                                TPROXYVersion::SOCKS_4A, "", "", true, "localhost"},
                      ProxyCase{"Socks5Dante", test::RealProxy::Kind::Dante, TPROXYVersion::SOCKS_5,
                                "", "", false, "localhost"},
                      ProxyCase{"Socks5AuthMicrosocks", test::RealProxy::Kind::Microsocks,
                                TPROXYVersion::SOCKS_5, "zkvuser", "s3cret", false, "127.0.0.1"},
                      ProxyCase{"HttpTinyproxy", test::RealProxy::Kind::Tinyproxy,
                                TPROXYVersion::HTTP_PROXY, "zkvuser", "s3cret", false,
                                "127.0.0.1"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ServiceLogin, ResumesTheEngagementAfterARequestedRestart) {
    ServiceSim sim;
    ASSERT_TRUE(sim.Start()) << sim.Error();
    FormUnderTest t("127.0.0.1", sim.Port());
    IniFile ini(t.dir.File("UserSetup.ini"));
    ini.WriteInteger("SEANS DATA", "OrderID", 17);
    ini.WriteInteger("SEANS DATA", "SeansID", 905);
    ini.WriteInteger("SEANS DATA", "Flags", 6);
    ini.WriteString("SEANS DATA", "LogPath", "srv");
    // The channel chosen before the restart (the primary channel).
    ini.WriteString("CLIST DATA", "ACTIVE", "THDCInfo");
    ini.WriteInteger("CLIST DATA", "ACTIVEINDEX", 1);
    ASSERT_TRUE(ini.Save());
    ClientSettings flags;
    flags.WasReboot = true;
    flags.Automat = true;
    ASSERT_TRUE(SaveRebootFlags(t.dir.File("reboot-state.ini"), flags));
    // The form read the flags when it was made; read them again as a restarted program would.
    t.form.reset();
    t.form = std::make_unique<TfrmWorkForm>(t.Startup());
    ASSERT_TRUE(t.form->Settings().WasReboot);
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.Shows(kEngaged); }, 8000)) << t.WindowText();
    const auto seans = sim.Items(CMD_CREATE_SEANS, 0);
    ASSERT_EQ(seans.size(), 1u);
    EXPECT_EQ(seans[0]["data"], "e9030000"
                                "11000000"
                                "89030000"
                                "06000000"
                                "73727600");
    ClientSettings stored;
    LoadRebootFlags(t.dir.File("reboot-state.ini"), stored);
    EXPECT_FALSE(stored.WasReboot);
}

// Headers split over two segments, bodies in 5-byte segments, a keep-alive, a corrupt header,
// a header announcing 1 GiB and an undecodable body: the window's connection survives them all
// and answers the check command the stand-in sends after each.
TEST(ServiceLogin, FramingFaultsThroughTheWindowsSocket) {
    ServiceSim sim;
    ASSERT_TRUE(sim.Start({"--faults", "keepalive,corrupt-header,huge-header,undecodable-body",
                           "--split-header", "--body-segment", "5", "--segment-delay-ms", "2"}))
        << sim.Error();
    // Through a proxy as well, so the bytes after the handshake take the tunnel's path.
    test::RealProxy proxy(test::RealProxy::Kind::Dante);
    ASSERT_TRUE(proxy.Start()) << proxy.Error();
    ProxySetting p;
    p.useProxy = true;
    p.proxyKind = TPROXYVersion::SOCKS_5;
    p.proxyHost = "127.0.0.1";
    p.proxyPort = proxy.Port();
    FormUnderTest t("127.0.0.1", sim.Port(), p);
    t.form->show();
    constexpr int kShowLogAnswered = 0x1001; // CMD_SHOW_LOG is answered COMMAND OK
    ASSERT_TRUE(SpinUntil([&] { return sim.Items(kShowLogAnswered, 1).size() >= 4; }, 15000))
        << t.WindowText();
    const auto replies = sim.Items(kShowLogAnswered, 1);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(replies[i]["echo"], i + 1);
    const auto& s = t.form->Frames().Stats();
    EXPECT_EQ(s.keepalives, 1u);
    EXPECT_EQ(s.badHeaders, 2u);
    EXPECT_EQ(s.badBodies, 1u);
    EXPECT_TRUE(t.form->Connected());
    EXPECT_TRUE(t.Shows(kEngaged));
    EXPECT_EQ(sim.Connections(), 1);
}

// The server ends the login or the engagement: a login reply one byte too short, a login with a
// failed status, an engagement refused. The client stays up, says why, does not try again, and
// later closes in order, giving the channel back.
struct RefusalCase {
    const char* name;
    std::vector<std::string> simArgs;
    const char* line;
};

class ServiceRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ServiceRefusal, ClientStaysUpWithoutRetryAndClosesInOrder) {
    const RefusalCase& c = GetParam();
    ServiceSim sim;
    ASSERT_TRUE(sim.Start(c.simArgs)) << sim.Error();
    FormUnderTest t("127.0.0.1", sim.Port());
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.Shows(c.line) && t.Shows("Disconnected."); }, 8000))
        << t.WindowText();
    // Longer than nothing, shorter than the retry: the retry is never armed.
    test::Spin(500);
    EXPECT_FALSE(t.form->Connected());
    EXPECT_FALSE(t.form->tmrReconnect->isActive());
    EXPECT_FALSE(t.Shows("An attempt to connect to the server will be made")) << t.WindowText();
    EXPECT_EQ(t.CountShown(c.line), 1) << t.WindowText();
    EXPECT_EQ(sim.Connections(), 1);
    EXPECT_FALSE(t.form->Engine()->HasPendingCommands());
    EXPECT_EQ(TransportData::Global().WorkingKey(), kBuiltinKey);

    EXPECT_TRUE(t.form->close());
    EXPECT_TRUE(t.Shows("Trying to enable chosen IDE channel.")) << t.WindowText();
    EXPECT_EQ(sim.Connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    ServerEndsIt, ServiceRefusal,
    ::testing::Values(
        RefusalCase{"ShortLoginReply", {"--short-login-reply"}, "Wrong server reply."},
        RefusalCase{"LoginFailedStatus",
                    {"--login-status", "0x1003", "--result-code", "15"},
                    "Unknown error."},
        RefusalCase{"EngagementRefused",
                    {"--seans-status", "0x1003"},
                    "Sorry. The server cannot provide this service now. Try to "
                    "connect later."}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace zkv
