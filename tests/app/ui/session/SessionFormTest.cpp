// The session in the work form: a second copy against a running first one, the close order with
// a technician attached, the timer check, and the version check's two endings (carry on after
// No; hand over to zelkova-update after Yes) against a real local HTTP server.
#include "app/TEditLetNum.h"
#include "app/TfrmMainForm.h"
#include "app/model/SessionRules.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/WorkFormSupport.h"
#include "tests/unit/session/LocalHttpServer.h"
#include "tests/unit/session/UpdateSigning.h"
#include "tools/MessageDialog.h"
#include "tools/UpdatePackage.h"
#include "tools/VersionUpdate.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <filesystem>
#include <fstream>

namespace zkv {
namespace {

namespace fs = std::filesystem;
using test::FormUnderTest;
using test::SpinUntil;

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& want) {
    std::size_t w = 0;
    for (const auto& l : lines)
        if (w < want.size() && l.find(want[w]) != std::string::npos)
            ++w;
    return w == want.size();
}

TEST(Session, SecondCopyClosesWithoutTouchingTheFirstOnesFiles) {
    FormUnderTest first("", 0);
    first.form->show();
    const std::string userDat = test::ReadFile(first.dir.File("user.dat"));
    test::ChildProcess second;
    ASSERT_TRUE(second.Start({ZKV_CLIENT_PROGRAM, "--data-dir", first.dir.Path(), "--unattended",
                              "--hardware", "sim:" + first.dir.File("hw.json"), "--update-url",
                              "http://127.0.0.1:1/zelkova/autoupdate.txt"},
                             first.dir.File("second.log"), {"QT_QPA_PLATFORM=offscreen"}));
    ASSERT_TRUE(SpinUntil([&] { return !second.Running(); }, 15000));
    EXPECT_NE(
        test::ReadFile(second.Log()).find(std::string("without asking: ") + kAnotherCopyMessage),
        std::string::npos)
        << test::ReadFile(second.Log());
    EXPECT_EQ(test::ReadFile(first.dir.File("user.dat")), userDat);
    EXPECT_FALSE(fs::exists(first.dir.File("reboot-state.ini")));
    EXPECT_FALSE(fs::exists(first.dir.File("placement.ini")));
    EXPECT_TRUE(first.form->isVisible());
}

TEST(Session, SignalEndsTheProgramThroughAnOpenDialog) {
    // No user.dat and no --controller: the controller form or the login dialog is open, modal,
    // when SIGTERM comes; the program still closes the orderly way and ends.
    test::TempDir dir;
    dir.Write("hw.json", R"({"channels":[{"command_block":496,"control_block":1014}]})");
    test::ChildProcess client;
    ASSERT_TRUE(client.Start({ZKV_CLIENT_PROGRAM, "--data-dir", dir.Path(), "--hardware",
                              "sim:" + dir.File("hw.json"), "--update-url",
                              "http://127.0.0.1:1/zelkova/autoupdate.txt"},
                             dir.File("client.log"), {"QT_QPA_PLATFORM=offscreen"}));
    test::Spin(1500);
    ASSERT_TRUE(client.Running()) << test::ReadFile(client.Log());
    ::kill(client.Pid(), SIGTERM);
    EXPECT_TRUE(SpinUntil([&] { return !client.Running(); }, 10000))
        << test::ReadFile(client.Log());
    EXPECT_TRUE(fs::exists(dir.File("placement.ini")));
}

// Every session log of a data directory, in one text.
std::string SessionLogs(const test::TempDir& dir) {
    std::string all;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir.File("logs"), ec))
        all += test::ReadFile(e.path().string());
    return all;
}

// SIGTERM while a start-up box waits for a person (here: a second copy is told that another
// copy runs). That box is shown while the window is still being made; the signal answers it
// and the program ends at once.
TEST(Session, SignalEndsAClientWhoseStartUpBoxWaits) {
    FormUnderTest first("", 0);
    first.form->show();
    test::ChildProcess second;
    ASSERT_TRUE(second.Start({ZKV_CLIENT_PROGRAM, "--data-dir", first.dir.Path(), "--hardware",
                              "sim:" + first.dir.File("hw.json"), "--update-url",
                              "http://127.0.0.1:1/zelkova/autoupdate.txt"},
                             first.dir.File("second.log"), {"QT_QPA_PLATFORM=offscreen"}));
    test::Spin(1500);
    ASSERT_TRUE(second.Running()) << test::ReadFile(second.Log());
    QElapsedTimer t;
    t.start();
    ::kill(second.Pid(), SIGTERM);
    ASSERT_TRUE(SpinUntil([&] { return !second.Running(); }, 5000)) << test::ReadFile(second.Log());
    EXPECT_LT(t.elapsed(), 3000);
    // It was the second copy: nothing of the first one's changed.
    EXPECT_FALSE(fs::exists(first.dir.File("reboot-state.ini")));
    EXPECT_TRUE(first.form->isVisible());
}

// SIGTERM while the login dialog waits: the start-up stops where it stands. The channel that
// --controller names would be taken right after the login; it is never touched.
TEST(Session, SignalDuringTheLoginDialogTakesNoChannel) {
    test::TempDir dir;
    WorkFormStartup lab;
    FormUnderTest::UseLabChannel(lab, dir);
    ProxySetting proxy;
    proxy.serverHost = "127.0.0.1";
    proxy.serverPort = 1;
    ASSERT_TRUE(SaveUserData(dir.File("user.dat"), FormUnderTest::DefaultUser(), proxy));
    test::ChildProcess client;
    ASSERT_TRUE(client.Start({ZKV_CLIENT_PROGRAM, "--data-dir", dir.Path(), "--hardware",
                              lab.hardware, "--controller", lab.controller, "--update-url",
                              "http://127.0.0.1:1/zelkova/autoupdate.txt"},
                             dir.File("client.log"), {"QT_QPA_PLATFORM=offscreen"}));
    test::Spin(1500);
    ASSERT_TRUE(client.Running()) << test::ReadFile(client.Log());
    ::kill(client.Pid(), SIGTERM);
    ASSERT_TRUE(SpinUntil([&] { return !client.Running(); }, 5000)) << test::ReadFile(client.Log());
    test::Spin(300); // anything a late step would have logged
    const std::string log = SessionLogs(dir);
    EXPECT_NE(log.find("Zelkova User Client version is"), std::string::npos) << log;
    EXPECT_EQ(log.find("Trying to detect HDD"), std::string::npos) << log;
    EXPECT_EQ(log.find("Trying to disable chosen IDE channel."), std::string::npos) << log;
    EXPECT_EQ(log.find("Connecting"), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(dir.File("placement.ini"))); // closed in order
}

TEST(Session, CloseAsksWhileATechnicianIsAttachedThenRunsItsSteps) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket* peer = nullptr;
    bool peerGone = false;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::disconnected, [&] { peerGone = true; });
    });
    ScriptedMessageDialog answers;
    ScopedMessageDialog scope(answers);
    FormUnderTest t("127.0.0.1", server.serverPort());
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.form->Connected() && peer; }, 8000)) << t.WindowText();
    t.form->SetTechnicianAttached(true);

    answers.Push(mrNo);
    EXPECT_FALSE(t.form->close());
    test::Spin(200);
    EXPECT_TRUE(t.form->isVisible());
    EXPECT_TRUE(t.form->Connected());
    EXPECT_FALSE(peerGone);
    // The detection's question came first; the close question is the last one shown.
    ASSERT_FALSE(answers.ShownSoFar().empty());
    EXPECT_EQ(answers.ShownSoFar().back().request.text, kCloseQuestion);
    EXPECT_EQ(answers.ShownSoFar().back().request.kind, MsgDlgType::Confirmation);

    // The steps other pieces fill in, recorded.
    std::vector<std::string> steps;
    auto rec = [&steps](const char* n) { return [&steps, n] { steps.push_back(n); }; };
    t.form->closeHooks.scanRunning = [] { return true; };
    t.form->closeHooks.stopScan = rec("scan");
    t.form->closeHooks.closeComPort = rec("com");
    t.form->closeHooks.endAtaWorker = rec("ata");
    t.form->closeHooks.controllerListCreated = [] { return true; };
    t.form->closeHooks.enableMyChannels = rec("enable");
    t.form->closeHooks.restartNeeded = [] { return false; };
    t.form->resize(640, 480);
    answers.Push(mrYes);
    EXPECT_TRUE(t.form->close());
    EXPECT_EQ(steps, (std::vector<std::string>{"scan", "com", "ata", "enable"}));
    EXPECT_TRUE(t.Shows(kEnablingChannelLog));
    EXPECT_TRUE(fs::exists(t.dir.File("reboot-state.ini")));
    ASSERT_TRUE(SpinUntil([&] { return peerGone; }, 3000));

    // The placement comes back with the next start.
    t.form.reset();
    t.form = std::make_unique<TfrmWorkForm>(t.Startup());
    EXPECT_EQ(t.form->size(), QSize(640, 480));
}

TEST(Session, BackToLoginShowsTheDialogAndReadsUserDataAgain) {
    FormUnderTest t("", 0); // no server host: the attempt stops at once
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.form->btnProxySetting->isEnabled(); }, 8000));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] {
        if (auto* d = qobject_cast<TfrmMainForm*>(QApplication::activeModalWidget())) {
            d->edtUserEmail->setText("other@example.org");
            d->edtOrderID->setText("23");
            d->btnConnect->click();
        }
    });
    poll.start(50);
    t.form->btnProxySetting->click();
    EXPECT_EQ(t.form->User().email, "other@example.org");
    EXPECT_EQ(t.form->User().orderNumber, 23);
    EXPECT_NE(test::ReadFile(t.dir.File("user.dat")).find("other@example.org\r\n482916"),
              std::string::npos);
}

class NoTimer final : public TimeBase {
public:
    std::uint64_t TicksPerSecond() const override { return 0; }
    std::uint64_t Now() override { return 0; }
    void SleepMs(std::uint32_t) override {}
    void Spin(std::uint64_t) override {}
};

TEST(Session, MissingTimerStopsTheStart) {
    ScriptedMessageDialog answers;
    ScopedMessageDialog scope(answers);
    FormUnderTest t("127.0.0.1", 1);
    t.form.reset();
    NoTimer clock;
    WorkFormStartup s = t.Startup();
    s.timeBase = &clock;
    t.form = std::make_unique<TfrmWorkForm>(s);
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return !t.form->isVisible(); }, 3000));
    EXPECT_FALSE(t.form->TimerSupported());
    EXPECT_TRUE(t.Shows(kNoTimerLog));
    ASSERT_EQ(answers.ShownSoFar().size(), 1u);
    EXPECT_EQ(answers.ShownSoFar()[0].request.text, kNoTimerMessage);
    EXPECT_FALSE(t.Shows(kUpdCheckStart)); // no version check, no connection
    EXPECT_FALSE(fs::exists(t.dir.File("reboot-state.ini")));
}

TEST(Session, AnsweringNoCarriesOnWithTheConnection) {
    ScriptedMessageDialog answers;
    ScopedMessageDialog scope(answers);
    FormUnderTest t("", 0);
    test::LocalHttpServer http(ZKV_HTTP_SERVER_SCRIPT, t.dir.Path() + "/www");
    http.Serve("autoupdate.txt", "99.0.0\n" + http.Url("zelkova-user-client_99.0.0_amd64.deb"));
    t.form.reset();
    WorkFormStartup s = t.Startup();
    s.updateUrl = http.Url("autoupdate.txt");
    s.updateKeyring = t.dir.File("keyring.gpg"); // a client that can verify is asked
    t.form = std::make_unique<TfrmWorkForm>(s);
    answers.Push(mrNo);
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.Shows("Instant Service"); }, 10000)) << t.WindowText();
    EXPECT_TRUE(InOrder(t.WindowLines(), {kUpdCheckStart, VersionAvailableText("99.0.0"),
                                          kUpdAborted, "Instant Service"}))
        << t.WindowText();
    EXPECT_FALSE(fs::exists(t.dir.File("downloads")));
}

TEST(Session, NewerVersionIsDownloadedCheckedAndHandedToTheUpdater) {
    ScriptedMessageDialog answers;
    ScopedMessageDialog scope(answers);
    FormUnderTest t("", 0);
    test::LocalHttpServer http(ZKV_HTTP_SERVER_SCRIPT, t.dir.Path() + "/www");
    test::SigningKey key(t.dir.Path() + "/key");
    ASSERT_TRUE(key.Ok());
    const std::string name = "zelkova-user-client_99.0.0_amd64.deb";
    const std::string served = t.dir.Path() + "/www/" + name;
    ASSERT_TRUE(test::BuildPackage(served, kClientPackageName, "99.0.0"));
    ASSERT_TRUE(key.Sign(served));
    http.Serve("autoupdate.txt", "99.0.0\r\n" + http.Url(name) + "\r\n\r\n");
    // The updater stands in as a recorder of its arguments.
    const std::string recorder = t.dir.File("record-updater");
    {
        std::ofstream f(recorder);
        f << "#!/usr/bin/python3\nimport os, sys\nopen('" << t.dir.File("handed")
          << "', 'w').write('\\n'.join(sys.argv[1:]) + '\\npkexec_uid=' + "
             "os.environ.get('PKEXEC_UID', ''))\n";
    }
    fs::permissions(recorder, fs::perms::owner_all);
    ::setenv("PKEXEC_UID", "0", 1); // a client started through pkexec does not pass it on

    t.form.reset();
    WorkFormStartup s = t.Startup();
    s.updateUrl = http.Url("autoupdate.txt");
    s.updateKeyring = key.Keyring();
    s.updaterProgram = recorder;
    s.restartCommand = {"/usr/bin/touch", t.dir.File("restarted")};
    t.form = std::make_unique<TfrmWorkForm>(s);
    answers.Push(mrYes);
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return !t.form->isVisible(); }, 15000)) << t.WindowText();
    ::unsetenv("PKEXEC_UID");
    const std::string saved = t.dir.File("downloads/" + name);
    EXPECT_EQ(test::ReadFile(saved), test::ReadFile(served));
    EXPECT_TRUE(t.Shows(kUpdSignedBy)) << t.WindowText();
    EXPECT_FALSE(t.Shows("Instant Service")); // no connection attempt
    EXPECT_TRUE(t.Shows("The installation program has been started."));
    ASSERT_TRUE(SpinUntil([&] { return fs::exists(t.dir.File("handed")); }, 10000));
    // LOCK, the package with the installer options, the client's command; no PKEXEC_UID.
    const std::string handed = test::ReadFile(t.dir.File("handed"));
    const std::string tail = "\n" + saved + " /SP- /SILENT /NOCANCEL\n/usr/bin/touch\n" +
                             t.dir.File("restarted") + "\npkexec_uid=";
    EXPECT_TRUE(handed.size() > tail.size() &&
                handed.compare(handed.size() - tail.size(), tail.size(), tail) == 0)
        << handed;
}

TEST(Session, TamperedDownloadIsRefusedAndTheClientGoesOn) {
    ScriptedMessageDialog answers;
    ScopedMessageDialog scope(answers);
    FormUnderTest t("", 0);
    test::LocalHttpServer http(ZKV_HTTP_SERVER_SCRIPT, t.dir.Path() + "/www");
    test::SigningKey key(t.dir.Path() + "/key");
    ASSERT_TRUE(key.Ok());
    const std::string name = "zelkova-user-client_99.0.0_amd64.deb";
    const std::string served = t.dir.Path() + "/www/" + name;
    ASSERT_TRUE(test::BuildPackage(served, kClientPackageName, "99.0.0"));
    ASSERT_TRUE(key.Sign(served));
    std::ofstream(served, std::ios::app) << "appended by a man in the middle";
    http.Serve("autoupdate.txt", "99.0.0\n" + http.Url(name));
    t.form.reset();
    WorkFormStartup s = t.Startup();
    s.updateUrl = http.Url("autoupdate.txt");
    s.updateKeyring = key.Keyring();
    s.updaterProgram = "/nonexistent/updater";
    t.form = std::make_unique<TfrmWorkForm>(s);
    answers.Push(mrYes);
    t.form->show();
    ASSERT_TRUE(SpinUntil([&] { return t.Shows("Instant Service"); }, 15000)) << t.WindowText();
    EXPECT_TRUE(t.Shows(kUpdRefused)) << t.WindowText();
    EXPECT_FALSE(fs::exists(t.dir.File("downloads/" + name))); // nothing is kept
}

} // namespace
} // namespace zkv
