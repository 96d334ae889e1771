// The work form on Qt's offscreen platform: its log in the window and in the session log, the
// lamps and status bar, and the connection lifecycle against real loopback servers and real
// proxies (retry 10 s after a loss, none after the user's Disconnect, proxy failures).
#include "app/Pictures.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/WorkFormSupport.h"
#include "tools/ui/SafeBrowser.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>

#include <sys/socket.h>

namespace zkv {
namespace {

using test::FormUnderTest;
using test::SpinUntil;

// Accepts connections, remembers when, and hangs up each after `closeAfterMs` (never if < 0),
// in order or (`reset`) with a TCP reset.
class LoopbackServer : public QTcpServer {
public:
    explicit LoopbackServer(int closeAfterMs, bool reset = false) {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this, closeAfterMs, reset] {
            while (QTcpSocket* s = nextPendingConnection()) {
                accepted.push_back(clock.elapsed());
                connect(s, &QTcpSocket::readyRead, s, [this, s] { received += s->readAll(); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                if (closeAfterMs >= 0)
                    QTimer::singleShot(closeAfterMs, s, [s, reset] {
                        if (!reset) {
                            s->disconnectFromHost();
                            return;
                        }
                        const linger hard{1, 0}; // close at once: the peer gets a reset
                        ::setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_LINGER,
                                     &hard, sizeof hard);
                        s->abort();
                    });
            }
        });
        clock.start();
    }
    int Port() const { return serverPort(); }
    QElapsedTimer clock;
    std::vector<qint64> accepted;
    QByteArray received;
};

bool ContainsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
    std::size_t w = 0;
    for (const auto& l : lines)
        if (w < want.size() && l.find(want[w]) != std::string::npos)
            ++w;
    return w == want.size();
}

TEST(WorkForm, LogReachesWindowAndSessionFile) {
    FormUnderTest t("", 0); // no server host: no attempt is made
    t.form->show();
    t.form->AddLogText("plain line", true);
    t.form->AddLogTextBold("bold line", true);
    t.form->AddLogText("first\r\nsecond", true);
    t.form->AddLogText("", true);
    ASSERT_TRUE(SpinUntil(
        [&] { return t.Shows("Error in proxy settings") || !t.form->MessagesShown().empty(); },
        3000));

    const auto window = t.WindowLines();
    EXPECT_TRUE(ContainsInOrder(window, {"Zelkova User Client version is 0.1.0:0", "plain line",
                                         "bold line", "first", "second",
                                         "Click the \"Instant Service\" button"}))
        << t.WindowText();
    // Every line the window shows is in the session log, in the same order.
    EXPECT_TRUE(ContainsInOrder(t.FileLines(), window)) << test::ReadFile(t.sessionLog.Path());
    EXPECT_EQ(t.form->MessagesShown(), std::vector<std::string>{"Error in proxy settings."});
    // The empty server host is told through the message dialog: --unattended answers and logs it.
    EXPECT_TRUE(t.Shows("answered OK without asking: Error in proxy settings.")) << t.WindowText();

    // The bold line is bold in the window.
    EXPECT_NE(t.form->wbLog->toHtml().indexOf("font-weight:700"), -1);

    t.form->ClearLog();
    EXPECT_TRUE(t.WindowLines().empty()) << t.WindowText();
    t.form->AddLogText("after clearing", true);
    EXPECT_EQ(t.WindowLines(), std::vector<std::string>{"after clearing"});
    // The file keeps what the window no longer shows.
    EXPECT_TRUE(ContainsInOrder(t.FileLines(), {"plain line", "cleared", "after clearing"}));
}

// Each logged line is a block of its own, so appending costs the same however long the log
// is; what the user sees stays: the lines, a rule, bold where the text asked for it.
TEST(WorkForm, EachLogLineIsABlockOfItsOwn) {
    FormUnderTest t("127.0.0.1", 9);
    t.form->ClearLog();
    for (int i = 0; i < 300; ++i)
        t.form->AddLogText("line " + std::to_string(i), true);
    t.form->AddLogTextBold("bold one\r\nbold two", true);
    t.form->AddLogText("<HR>", true);
    t.form->AddLogText("plain after", true);
    t.form->AddLogText("first half, ", false);
    t.form->AddLogText("second half", true);
    QTextDocument* doc = t.form->wbLog->document();
    EXPECT_GE(doc->blockCount(), 300 + 4);
    int longest = 0;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        longest = std::max(longest, static_cast<int>(b.text().size()));
    EXPECT_LT(longest, 40);
    const auto lines = t.WindowLines();
    ASSERT_EQ(lines.size(), 300u + 4);
    EXPECT_EQ(lines[299], "line 299");
    EXPECT_EQ(lines[301], "bold two");
    EXPECT_EQ(lines[302], "plain after");
    EXPECT_EQ(lines[303], "first half, second half");
    auto boldAt = [&](const QString& text) {
        const QTextCursor c = doc->find(text);
        return !c.isNull() && c.charFormat().fontWeight() == QFont::Bold;
    };
    EXPECT_TRUE(boldAt("bold one"));
    EXPECT_TRUE(boldAt("bold two"));
    EXPECT_FALSE(boldAt("plain after"));
    EXPECT_FALSE(boldAt("line 7"));
    bool rule = false;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        rule |= b.blockFormat().hasProperty(QTextFormat::BlockTrailingHorizontalRulerWidth);
    EXPECT_TRUE(rule);

    // The lines take the height they took as one block of line breaks.
    t.form->ClearLog();
    QString joined;
    for (int i = 0; i < 50; ++i) {
        t.form->AddLogText("line " + std::to_string(i), true);
        joined += QString("line %1<br>\r\n").arg(i);
    }
    QTextDocument reference;
    reference.setDefaultFont(doc->defaultFont());
    reference.setDocumentMargin(doc->documentMargin());
    QTextCursor(&reference).insertHtml(joined);
    doc->setTextWidth(600);
    reference.setTextWidth(600);
    EXPECT_EQ(doc->size().height(), reference.size().height());
}

// What the service writes into the log may name any file as a picture, and any link: only the
// program's own pictures load, and only http and https links reach the desktop; the others are
// refused and logged.
TEST(WorkForm, LogLoadsOnlyOwnPicturesAndOpensOnlyWebLinks) {
    FormUnderTest t("127.0.0.1", 9);
    t.dir.Write("secret.png", "not for the technician");
    const QString own = ProgramResourceDir() + "/images/live-support.png";
    test::DesktopStandIn desktop;
    t.form->show();
    t.form->AddLogTextBold("<img src=\"/dev/zero\"><img src=\"" + t.dir.File("secret.png") +
                               "\"><img src=\"" + own.toStdString() + "\">",
                           true);
    test::Spin(100);
    auto* log = static_cast<TSafeBrowser*>(t.form->wbLog);
    EXPECT_EQ(log->Refused(), 2);
    // Refused pictures are no data; the program's own one is decoded.
    const QVariant secret = log->document()->resource(
        QTextDocument::ImageResource, QUrl(QString::fromStdString(t.dir.File("secret.png"))));
    EXPECT_EQ(secret.typeId(), QMetaType::QByteArray);
    EXPECT_TRUE(secret.toByteArray().isEmpty());
    EXPECT_FALSE(log->document()
                     ->resource(QTextDocument::ImageResource, QUrl(own))
                     .value<QPixmap>()
                     .isNull());
    emit log->anchorClicked(QUrl("file:///etc/passwd"));
    emit log->anchorClicked(QUrl("https://www.example.test/instructions"));
    ASSERT_EQ(desktop.opened.size(), 1u);
    EXPECT_EQ(desktop.opened[0].toString(), "https://www.example.test/instructions");
    EXPECT_TRUE(t.Shows("Link not opened (only http and https links are): file:///etc/passwd"))
        << t.WindowText();
}

TEST(WorkForm, LampsStatusBarAndProgress) {
    FormUnderTest t("", 0);
    t.form->show();
    for (auto* lamp : t.form->lamps)
        EXPECT_EQ(lamp->Colour(), LampColour::Dark);
    t.form->ShowAtaRegisters(0x51, 0x04);
    std::string lit;
    for (auto* lamp : t.form->lamps)
        if (lamp->Colour() != LampColour::Dark)
            lit += lamp->toolTip().toStdString() +
                   (lamp->Colour() == LampColour::Green ? "=green " : "=red ");
    EXPECT_EQ(lit, "DRD=green DSC=green ERR=red ABR=red ");
    EXPECT_EQ(t.form->lamps[0]->objectName(), "imgBSY");

    EXPECT_EQ(t.form->pnStatus->text(), "No Connection.");
    EXPECT_TRUE(t.form->imgRedBall->isVisible());
    EXPECT_FALSE(t.form->imgGreenBall->isVisible());
    t.form->ShowConnectionState(true);
    EXPECT_EQ(t.form->pnStatus->text(), "Connected.");
    EXPECT_TRUE(t.form->imgGreenBall->isVisible());
    EXPECT_FALSE(t.form->imgRedBall->isVisible());

    EXPECT_FALSE(t.form->ProgressBar->isVisible());
    t.form->ProgressStart();
    EXPECT_TRUE(t.form->ProgressBar->isVisible());
    t.form->sharedProgress = 42;
    t.form->ProgressStep();
    EXPECT_EQ(t.form->ProgressBar->value(), 42);
    EXPECT_EQ(t.form->ProgressBar->toolTip(), "42%");
    t.form->ProgressStop();
    EXPECT_FALSE(t.form->ProgressBar->isVisible());

    EXPECT_FALSE(t.form->pnlMoveImg->isVisible());
    t.form->ExpandActivityPanel(88);
    EXPECT_EQ(t.form->pnlMoveImg->height(), 88);
    t.form->SpeedButton1->click();
    EXPECT_FALSE(t.form->pnlMoveImg->isVisible());

    // A lit lamp is brighter in its middle than a dark one.
    const QImage dark = LampPixmap(LampColour::Dark, 20).toImage();
    const QImage green = LampPixmap(LampColour::Green, 20).toImage();
    EXPECT_GT(QColor(green.pixel(10, 12)).green(), QColor(dark.pixel(10, 12)).green() + 60);
}

TEST(WorkForm, InvalidLoginDataMakesNoAttempt) {
    LoopbackServer server(-1);
    UserInfo user = FormUnderTest::DefaultUser();
    user.userName = "   ";
    FormUnderTest t("127.0.0.1", server.Port(), {}, user);
    // Invalid data: the login dialog comes even without a person; close it as a user would.
    QTimer::singleShot(200, [] {
        if (QWidget* w = QApplication::activeModalWidget())
            w->close();
    });
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return !t.form->MessagesShown().empty(); }, 3000));
    EXPECT_EQ(t.form->MessagesShown()[0],
              "User Name, Email or Password is not correct. Login failed.");
    test::Spin(300);
    EXPECT_TRUE(server.accepted.empty());
    EXPECT_TRUE(t.form->btnReconnect->isEnabled());
    EXPECT_TRUE(t.form->btnProxySetting->isEnabled());
    EXPECT_EQ(t.form->btnReconnect->text(), "Connect");
}

// The server hangs up: the window shows it, and the next attempt comes 10 s later by itself.
TEST(WorkForm, ServerCloseBringsRetryTenSecondsLater) {
    LoopbackServer server(300);
    FormUnderTest t("127.0.0.1", server.Port());
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.form->Connected(); }, 5000)) << t.WindowText();
    EXPECT_EQ(t.form->btnReconnect->text(), "Disconnect");
    EXPECT_FALSE(t.form->btnProxySetting->isEnabled());
    EXPECT_TRUE(t.form->tmrPing->isActive());
    EXPECT_TRUE(t.form->tmrConnect->isActive());
    EXPECT_EQ(t.form->pnStatus->text(), "Connected.");
    // The login command went out at once (53-byte header and a body).
    ASSERT_TRUE(SpinUntil([&] { return server.received.size() > 53; }, 3000));

    ASSERT_TRUE(SpinUntil([&] { return !t.form->Connected(); }, 5000));
    EXPECT_TRUE(t.Shows("Disconnected."));
    EXPECT_TRUE(t.Shows("An attempt to connect to the server will be made in 10 seconds."));
    EXPECT_FALSE(t.Shows("reset")) << t.WindowText(); // an orderly close gives no reason
    EXPECT_TRUE(t.form->tmrReconnect->isActive());
    EXPECT_EQ(t.form->tmrReconnect->interval(), 10000);
    EXPECT_FALSE(t.form->tmrPing->isActive());
    EXPECT_EQ(t.form->btnReconnect->text(), "Connect");
    EXPECT_EQ(t.form->pnStatus->text(), "No Connection.");

    ASSERT_TRUE(SpinUntil([&] { return server.accepted.size() >= 2; }, 13000)) << t.WindowText();
    const qint64 gap = server.accepted[1] - server.accepted[0];
    EXPECT_GE(gap, 10000 - 100);
    EXPECT_LE(gap, 10000 + 1500);
    EXPECT_EQ(t.CountShown("Connected."), 2) << t.WindowText();
    EXPECT_TRUE(ContainsInOrder(t.FileLines(), t.WindowLines()));
}

// A reset by the peer is not an orderly close: the disconnect line says why, and the retry
// follows as after any loss.
TEST(WorkForm, ResetByThePeerIsLoggedWithTheSocketsReason) {
    LoopbackServer server(300, true);
    FormUnderTest t("127.0.0.1", server.Port());
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.form->Connected(); }, 5000)) << t.WindowText();
    ASSERT_TRUE(SpinUntil([&] { return !t.form->Connected(); }, 5000)) << t.WindowText();
    EXPECT_TRUE(t.Shows("Disconnected. Connection reset by peer.")) << t.WindowText();
    EXPECT_TRUE(t.Shows("An attempt to connect to the server will be made in 10 seconds."));
    EXPECT_TRUE(t.form->tmrReconnect->isActive());
}

// The user's Disconnect closes the connection and no retry follows.
TEST(WorkForm, UserDisconnectBringsNoRetry) {
    LoopbackServer server(-1);
    FormUnderTest t("127.0.0.1", server.Port());
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.form->Connected(); }, 5000)) << t.WindowText();
    test::Spin(1200);
    EXPECT_FALSE(t.form->pnlDataTime->text().isEmpty()); // the connection time counts
    t.form->btnReconnect->click();
    EXPECT_FALSE(t.form->Connected());
    EXPECT_TRUE(t.Shows("Disconnected."));
    EXPECT_FALSE(t.Shows("An attempt to connect"));
    EXPECT_FALSE(t.form->tmrReconnect->isActive());
    EXPECT_TRUE(t.form->btnReconnect->isEnabled());
    EXPECT_TRUE(t.form->btnProxySetting->isEnabled());
    test::Spin(10800);
    EXPECT_EQ(server.accepted.size(), 1u) << t.WindowText();

    // Connect again by hand.
    t.form->btnReconnect->click();
    ASSERT_TRUE(SpinUntil([&] { return t.form->Connected(); }, 5000));
    EXPECT_EQ(server.accepted.size(), 2u);
}

// Each proxy failure gives its log line with the code, the disconnect, and a retry 10 s later.
// The forms run side by side so the retries are waited for once.
TEST(WorkForm, ProxyFailuresAreLoggedAndRetried) {
    LoopbackServer server(-1);
    const int closedPort = test::FreePort();
    test::RealProxy microsocks(test::RealProxy::Kind::Microsocks);
    ASSERT_TRUE(microsocks.Start("zkvuser", "s3cret")) << microsocks.Error();
    test::RealProxy dante(test::RealProxy::Kind::Dante);
    ASSERT_TRUE(dante.Start("", "", closedPort)) << dante.Error();
    test::RealProxy tinyproxy(test::RealProxy::Kind::Tinyproxy);
    ASSERT_TRUE(tinyproxy.Start("zkvuser", "s3cret")) << tinyproxy.Error();

    using test::Bytes;
    struct Case {
        TPROXYVersion kind;
        int proxyPort;
        std::string user, password;
        int serverPort;
        int code;
    };
    std::vector<std::unique_ptr<test::ScriptedProxy>> scripted;
    auto script = [&](std::vector<QByteArray> replies, bool close) {
        scripted.push_back(std::make_unique<test::ScriptedProxy>(std::move(replies), close));
        return scripted.back()->Port();
    };
    const int s = server.Port();
    std::vector<Case> cases = {
        {TPROXYVersion::SOCKS_5, microsocks.Port(), "zkvuser", "wrong", s, 30267},
        {TPROXYVersion::SOCKS_5, microsocks.Port(), "zkvuser", "s3cret", closedPort, 30015},
        {TPROXYVersion::SOCKS_4, dante.Port(), "", "", closedPort, 30001},
        {TPROXYVersion::SOCKS_5, dante.Port(), "", "", closedPort, 30012},
        {TPROXYVersion::HTTP_PROXY, tinyproxy.Port(), "zkvuser", "wrong", s, 30009},
        {TPROXYVersion::SOCKS_4, script({Bytes({1, 90, 0, 0, 0, 0, 0, 0})}, false), "", "", s,
         30002},
        {TPROXYVersion::SOCKS_5, script({Bytes({5, 0xFF})}, false), "", "", s, 30004},
        {TPROXYVersion::SOCKS_5, script({Bytes({5, 0x80})}, false), "", "", s, 30266},
        {TPROXYVersion::SOCKS_5,
         script({Bytes({5, 0}), Bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0})}, false), "", "", s, 30014},
        {TPROXYVersion::SOCKS_4, script({Bytes({0, 90})}, true), "", "", s, 30006},
        {TPROXYVersion::SOCKS_5, test::FreePort(), "", "", s, 10061},
    };
    std::vector<std::unique_ptr<FormUnderTest>> forms;
    for (const auto& c : cases) {
        ProxySetting p;
        p.useProxy = true;
        p.proxyKind = c.kind;
        p.proxyHost = "127.0.0.1";
        p.proxyPort = c.proxyPort;
        p.proxyUserName = c.user;
        p.proxyPassword = c.password;
        forms.push_back(std::make_unique<FormUnderTest>("127.0.0.1", c.serverPort, p));
        forms.back()->form->show();
    }
    const auto allRetried = [&] {
        for (const auto& f : forms)
            if (f->CountShown("Connecting ...") < 2)
                return false;
        return true;
    };
    ASSERT_TRUE(SpinUntil(allRetried, 14000));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& f = *forms[i];
        const std::string error = "Connection error, error code: " + std::to_string(cases[i].code);
        EXPECT_TRUE(ContainsInOrder(f.WindowLines(),
                                    {"Connecting ...", error, "Disconnected.",
                                     "An attempt to connect to the server will be made in 10 "
                                     "seconds.",
                                     "Connecting ..."}))
            << "case " << i << ":\n"
            << f.WindowText();
        EXPECT_FALSE(f.Shows("Connected.")) << f.WindowText();
        EXPECT_TRUE(ContainsInOrder(f.FileLines(), f.WindowLines())) << "case " << i;
    }
    EXPECT_TRUE(server.accepted.empty());
}

} // namespace
} // namespace zkv
