// The login dialog, the network options dialog and the edit components on Qt's offscreen
// platform.
#include "app/TEditLetNum.h"
#include "app/THexDump.h"
#include "app/TfmNetworkOptionsDialog.h"
#include "app/TfrmMainForm.h"
#include "support/Deployment.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/RealServers.h"
#include "tools/MessageDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

namespace zkv {
namespace {

TEST(LoginDialog, OkRuleAndWhatOkStores) {
    test::TempDir dir;
    UserInfo user;
    user.versionMajor = 4;
    user.versionMinor = 2;
    user.orderNumber = -1;
    ProxySetting proxy;
    proxy.serverHost = "127.0.0.1";
    proxy.serverPort = 4636;
    proxy.proxyKind = TPROXYVersion::SOCKS_5;
    TfrmMainForm d(user, proxy, dir.File("user.dat"), nullptr);
    EXPECT_EQ(d.size(), QSize(622, 354));
    EXPECT_EQ(d.lblVersion->text(), "V 4.2");
    EXPECT_TRUE(d.lblTitle->text().contains("TM"));
    EXPECT_FALSE(d.btnConnect->isEnabled()); // order -1 from the records

    d.edtUserEmail->setText("user@example.org");
    d.edtOrderID->setText("0");
    EXPECT_TRUE(d.btnConnect->isEnabled());
    d.edtOrderID->setText("-1");
    EXPECT_FALSE(d.btnConnect->isEnabled());
    d.edtOrderID->setText("");
    EXPECT_FALSE(d.btnConnect->isEnabled());
    d.edtUserEmail->setText("user.example.org");
    d.edtOrderID->setText("5");
    EXPECT_FALSE(d.btnConnect->isEnabled());
    d.edtUserEmail->setText("user@example.org");

    // The order field takes digits only, typed or pasted.
    d.edtOrderID->clear();
    QTest::keyClicks(d.edtOrderID, "1a");
    QApplication::clipboard()->setText("x7y");
    d.edtOrderID->paste();
    QTest::keyClick(d.edtOrderID, Qt::Key_Backspace);
    EXPECT_EQ(d.edtOrderID->text(), "1");
    QTest::keyClicks(d.edtOrderID, "7");
    EXPECT_EQ(d.edtOrderID->text(), "17");
    bool asked = false;
    d.edtOrderID->OnClear = [&](TEditLetNum&, bool& canClear) {
        asked = true;
        canClear = false;
    };
    d.edtOrderID->Clear();
    EXPECT_TRUE(asked);
    EXPECT_EQ(d.edtOrderID->text(), "17");

    d.btnConnect->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_TRUE(d.Saved());
    EXPECT_EQ(test::ReadFile(dir.File("user.dat")),
              "NoName\r\nuser@example.org\r\n482916\r\n189\r\n17\r\n0\r\n0\r\n127.0.0.1\r\n\r\n"
              "\r\n\r\n4636\r\n0\r\nSOCKS_5\r\n");
}

// A stray letter typed or pasted over the selected order number is refused as a whole: the
// number and its selection stay. A digit still replaces the selection.
TEST(LoginDialog, RefusedKeyOverASelectionKeepsTheOrderNumber) {
    test::TempDir dir;
    UserInfo user;
    ProxySetting proxy;
    TfrmMainForm d(user, proxy, dir.File("user.dat"), nullptr);
    TEditLetNum& e = *d.edtOrderID;
    e.setText("4711");
    e.selectAll();
    QTest::keyClicks(&e, "x");
    EXPECT_EQ(e.text(), "4711");
    EXPECT_EQ(e.selectedText(), "4711");
    QApplication::clipboard()->setText("abc");
    e.paste();
    EXPECT_EQ(e.text(), "4711");
    EXPECT_EQ(e.selectedText(), "4711");
    e.setSelection(1, 2);
    QTest::keyClicks(&e, "-");
    EXPECT_EQ(e.text(), "4711");
    QTest::keyClicks(&e, "9");
    EXPECT_EQ(e.text(), "491");
}

TEST(LoginDialog, ClosingWithoutOkWritesTheLoadedValues) {
    test::TempDir dir;
    UserInfo user;
    user.email = "old@example.org";
    user.orderNumber = 3;
    ProxySetting proxy;
    TfrmMainForm d(user, proxy, dir.File("user.dat"), nullptr);
    d.edtUserEmail->setText("new@example.org");
    d.reject();
    EXPECT_EQ(user.email, "old@example.org");
    EXPECT_NE(test::ReadFile(dir.File("user.dat")).find("old@example.org\r\n"), std::string::npos);
}

TEST(NetworkOptions, PortChecksEnablingRuleAndKindMapping) {
    ScriptedMessageDialog messages;
    ScopedMessageDialog scope(messages);
    NetworkOptions o;
    o.serverHost = "svc.example";
    o.serverPort = 4636;
    o.proxyKind = TPROXYVersion::SOCKS_4A;
    o.resolveHostThroughProxy = true;
    TfmNetworkOptionsDialog d;
    d.Fill(o);
    EXPECT_TRUE(d.Socks4Radio->isChecked());
    EXPECT_TRUE(d.Socks4ACheckBox->isChecked());
    EXPECT_EQ(d.Values().proxyKind, TPROXYVersion::SOCKS_4A);
    d.Socks4ACheckBox->setChecked(false);
    EXPECT_EQ(d.Values().proxyKind, TPROXYVersion::SOCKS_4);

    // Enabling rule.
    EXPECT_FALSE(d.SOCKSHostEdit->isEnabled());
    EXPECT_FALSE(d.SOCKSGroup->isEnabled());
    d.UseProxyCheckBox->click();
    EXPECT_TRUE(d.SOCKSHostEdit->isEnabled());
    EXPECT_TRUE(d.SOCKSUserEdit->isEnabled());
    EXPECT_FALSE(d.SOCKSPassEdit->isEnabled());
    d.HttpRadio->click();
    EXPECT_TRUE(d.SOCKSPassEdit->isEnabled());
    EXPECT_EQ(d.Values().proxyKind, TPROXYVersion::HTTP_PROXY);
    d.Socks4Radio->click();
    EXPECT_FALSE(d.SOCKSPassEdit->isEnabled());
    d.UseProxyCheckBox->click();

    // Port checks: the server port, then the proxy port, even without a proxy.
    auto tryOk = [&](const QString& server, const QString& proxyPort) {
        d.setResult(QDialog::Rejected);
        d.PortEdit->setText(server);
        d.SOCKSPortEdit->setText(proxyPort);
        d.OkButton->click();
        return d.result() == QDialog::Accepted;
    };
    EXPECT_FALSE(tryOk("65536", "0"));
    EXPECT_FALSE(tryOk("-1", "0"));
    EXPECT_FALSE(tryOk("65535", ""));
    EXPECT_FALSE(tryOk("65535", "65536"));
    const auto shown = messages.ShownSoFar();
    ASSERT_EQ(shown.size(), 4u);
    EXPECT_EQ(shown[0].request.text, kInvalidServerPort);
    EXPECT_EQ(shown[1].request.text, kInvalidServerPort);
    EXPECT_EQ(shown[2].request.text, kInvalidProxyPort);
    EXPECT_EQ(shown[3].request.text, kInvalidProxyPort);
    EXPECT_TRUE(tryOk("65535", "1080"));
    EXPECT_EQ(d.Values().serverPort, 65535);
}

// Stored proxy credentials longer than ten characters come back whole.
TEST(NetworkOptions, LongProxyUserNameAndPasswordAreKept) {
    NetworkOptions o;
    o.useProxy = true;
    o.proxyKind = TPROXYVersion::SOCKS_5;
    o.proxyUserName = "department-proxy-user@example.org";
    o.proxyPassword = "correct horse battery staple";
    TfmNetworkOptionsDialog d;
    d.Fill(o);
    EXPECT_EQ(d.Values().proxyUserName, o.proxyUserName);
    EXPECT_EQ(d.Values().proxyPassword, o.proxyPassword);
}

TEST(NetworkOptions, DefaultThenCancelChangesNothing) {
    NetworkOptions o;
    o.useProxy = true;
    o.serverHost = "svc.example";
    o.serverPort = 9000;
    o.proxyHost = "proxy.example";
    o.proxyPort = 3128;
    o.proxyKind = TPROXYVersion::HTTP_PROXY;
    const NetworkOptions before = o;
    bool defaulted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* d = qobject_cast<TfmNetworkOptionsDialog*>(QApplication::activeModalWidget());
        if (!d)
            return;
        d->DefaultButton->click();
        defaulted = d->HostEdit->text() == kDefaultServerHost && d->PortEdit->text() == "4636" &&
                    !d->UseProxyCheckBox->isChecked() && d->SOCKSPortEdit->text() == "0" &&
                    !d->SOCKSHostEdit->isEnabled();
        d->CancelButton->click();
    });
    poll.start(50);
    EXPECT_FALSE(NetworkOptionsExecute(o));
    EXPECT_TRUE(defaulted);
    EXPECT_EQ(o.serverHost, before.serverHost);
    EXPECT_EQ(o.serverPort, before.serverPort);
    EXPECT_EQ(o.proxyHost, before.proxyHost);
    EXPECT_EQ(o.proxyPort, before.proxyPort);
    EXPECT_TRUE(o.useProxy);
    EXPECT_EQ(o.proxyKind, TPROXYVersion::HTTP_PROXY);
}

TEST(HexDump, ShowsTheBlockAndRefusesPaste) {
    THexDump h;
    EXPECT_TRUE(h.isReadOnly());
    std::vector<std::uint8_t> data(17, 0x41);
    h.SetHexDisplay(true);
    h.Display(data.data(), data.size());
    EXPECT_EQ(h.toPlainText().split('\n').size(), 2);
    h.SetDataFormat(TDataFormat::dfWord);
    EXPECT_EQ(h.toPlainText().split('\n')[0].left(15), "00000000: 4141 ");
    h.SetHexDisplay(false);
    const QString text = h.toPlainText();
    EXPECT_EQ(text.split('\n')[0], "00000000: AAAAAAAAAAAAAAAA");
    QApplication::clipboard()->setText("pasted");
    h.paste();
    EXPECT_EQ(h.toPlainText(), text);
}

// A block longer than the view shows is shown from its first line, in both layouts.
TEST(HexDump, AFilledDumpShowsItsFirstLine) {
    THexDump h;
    h.resize(300, 120);
    h.show();
    std::vector<std::uint8_t> data(4096, 0x5A);
    for (bool hex : {true, false}) {
        h.SetHexDisplay(hex);
        h.Display(data.data(), data.size());
        QApplication::processEvents();
        EXPECT_GT(h.verticalScrollBar()->maximum(), 0);
        EXPECT_EQ(h.verticalScrollBar()->value(), 0) << (hex ? "hex" : "text");
        EXPECT_EQ(h.textCursor().position(), 0);
    }
}

} // namespace
} // namespace zkv
