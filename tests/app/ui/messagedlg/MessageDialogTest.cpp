// The message dialog's layout, buttons and answers, and synchronised calls into the GUI thread.
#include "support/Termination.h"
#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/RealServers.h"
#include "tools/ui/QtMainThread.h"
#include "tools/ui/SafeBrowser.h"
#include "tools/ui/TfrmMessageDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <unistd.h>

namespace zkv {
namespace {

TMessageDlgData Request(std::string text, std::int32_t buttons, bool help = false) {
    TMessageDlgData r;
    r.kind = MsgDlgType::Warning;
    r.text = std::move(text);
    r.buttons = buttons;
    r.needHelp = help ? 1 : 0;
    r.helpLink = "https://help.example.test/jumpers";
    return r;
}

TEST(MessageDialog, CancelRetryHelpInOrderWithTheirGeometryAndHelpStaysOpen) {
    TMessageDlgData r = Request("Check the cable.", mb::Cancel | mb::Retry, true);
    TAddMsgData extra;
    std::vector<QUrl> opened;
    TfrmMessageDlg dlg(r, extra, [&](const QUrl& u) { opened.push_back(u); });
    EXPECT_EQ(dlg.windowTitle(), "Warning");
    EXPECT_FALSE(dlg.Icon()->isHidden());
    EXPECT_EQ(dlg.size(), QSize(417, 139));
    EXPECT_EQ(dlg.Browser()->geometry(), QRect(32, 0, 385, 106));
    EXPECT_EQ(dlg.ButtonBar()->geometry(), QRect(0, 106, 417, 33));
    ASSERT_EQ(dlg.Buttons().size(), 3u);
    EXPECT_EQ(dlg.ButtonResults(), (std::vector<int>{mrCancel, mrRetry, mrHelp}));
    // total 8 + 3 * 79 + 4 = 249, shifted by (417 - 249) / 2 = 84
    const char* captions[] = {"Cancel", "Retry", "Help"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(dlg.Buttons()[i]->text(), captions[i]);
        EXPECT_EQ(dlg.Buttons()[i]->geometry(), QRect(92 + 79 * i, 4, 75, 25));
    }
    dlg.show();
    QTest::mouseClick(dlg.Buttons()[2], Qt::LeftButton);
    EXPECT_TRUE(dlg.isVisible());
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toString(), "https://help.example.test/jumpers");
    QTest::mouseClick(dlg.Buttons()[1], Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(r.result, mrRetry);
}

TEST(MessageDialog, WithoutButtonsOnlyClosingEndsItAndAnswersCancel) {
    for (bool escape : {false, true}) {
        TMessageDlgData r = Request("Please wait.", 0);
        r.kind = MsgDlgType::Custom;
        TAddMsgData extra;
        TfrmMessageDlg dlg(r, extra);
        EXPECT_TRUE(dlg.Buttons().empty());
        EXPECT_TRUE(dlg.Icon()->isHidden());
        EXPECT_EQ(dlg.windowTitle(), "Custom");
        dlg.show();
        if (escape)
            QTest::keyClick(&dlg, Qt::Key_Escape);
        else
            dlg.close();
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(r.result, mrCancel);
    }
}

// The close box answers Cancel, which a local Yes/No question takes as Yes; closed by a
// termination request (SIGTERM and its kin) the same question is No, and once the program is
// ending no question is shown at all.
TEST(MessageDialog, AQuestionClosedByASignalIsRefused) {
    QtMessageDialog qt;
    ScopedMessageDialog installed(qt);
    auto closeTheQuestion = [](bool bySignal) {
        QTimer::singleShot(100, [bySignal] {
            if (bySignal)
                RequestTermination();
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
    };
    closeTheQuestion(false);
    EXPECT_TRUE(AskYesNo("Reboot is necessary to continue. Reboot system now?"));
    closeTheQuestion(true);
    EXPECT_FALSE(AskYesNo("Reboot is necessary to continue. Reboot system now?"));
    // Asked after the signal: answered at once, nothing opens.
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(AskYesNo("Do you want to stop scan?"));
    EXPECT_EQ(ShowMessageDlg("Error in proxy settings.", MsgDlgType::Error, mb::OK), mrCancel);
    EXPECT_LT(t.elapsed(), 50);
    gTerminationRequested = false;
}

TEST(MessageDialog, AWideMessageWidensTheWindowAndTheButtonsAreCentredAgain) {
    TMessageDlgData r = Request(std::string(50, 'W'), mb::OK);
    TAddMsgData extra;
    TfrmMessageDlg dlg(r, extra);
    const int w = dlg.width();
    EXPECT_GT(w, 417);
    EXPECT_EQ(w - dlg.Browser()->width(), 32);
    EXPECT_GE(dlg.Browser()->width(), std::ceil(dlg.Browser()->document()->idealWidth()));
    EXPECT_EQ(dlg.height(), 139);
    ASSERT_EQ(dlg.Buttons().size(), 1u);
    EXPECT_EQ(dlg.Buttons()[0]->x(), 8 + (w - 91) / 2);
    const QRect screen = dlg.screen()->availableGeometry();
    EXPECT_EQ(dlg.x(), screen.x() + (screen.width() - w) / 2);
    EXPECT_EQ(dlg.y(), screen.y() + (screen.height() - 139) / 2);
}

TEST(MessageDialog, HtmlIsRenderedPreformattedArialOnGreyAndLinksOpenOutside) {
    TMessageDlgData r =
        Request("Set the <b>jumper</b> as <a href=\"https://x.test/j\">shown</a>.", mb::OK);
    TAddMsgData extra;
    std::vector<QUrl> opened;
    TfrmMessageDlg dlg(r, extra, [&](const QUrl& u) { opened.push_back(u); });
    QTextDocument* doc = dlg.Browser()->document();
    EXPECT_EQ(doc->toPlainText(), "Set the jumper as shown.");
    EXPECT_EQ(dlg.Browser()->contextMenuPolicy(), Qt::NoContextMenu);
    EXPECT_EQ(doc->rootFrame()->frameFormat().background().color(), QColor("#D4D0C8"));
    bool bold = false, link = false, arial = true;
    for (auto it = doc->begin().begin(); !it.atEnd(); ++it) {
        const QTextCharFormat f = it.fragment().charFormat();
        bold |= it.fragment().text() == "jumper" && f.fontWeight() == QFont::Bold;
        link |= f.anchorHref() == "https://x.test/j";
        arial &= f.fontFamilies().toStringList().contains("arial");
    }
    EXPECT_TRUE(bold);
    EXPECT_TRUE(link);
    EXPECT_TRUE(arial);
    emit dlg.Browser()->anchorClicked(QUrl("https://x.test/j"));
    ASSERT_EQ(opened.size(), 1u);
}

// The technician's message names files as pictures (a device that never ends, a readable file
// outside the program, a link to it): none is read, while the program's own picture loads. Help
// and links reach the desktop only as http or https addresses; the rest are refused and logged.
TEST(MessageDialog, LoadsOnlyOwnPicturesAndOpensOnlyWebAddresses) {
    test::TempDir dir;
    dir.Write("secret.png", "not for the technician");
    ASSERT_EQ(::symlink(dir.File("secret.png").c_str(), dir.File("link.png").c_str()), 0);
    const QString own = ProgramResourceDir() + "/images/live-support.png";
    ASSERT_FALSE(ProgramResourceDir().isEmpty());
    std::vector<std::string> refusals;
    int owner = 0;
    SetLinkLog(&owner, [&](const std::string& l) { refusals.push_back(l); });
    test::DesktopStandIn desktop;
    for (const char* help :
         {"file:///etc/shadow", "/etc/shadow", "javascript:alert(1)", "www.example.test/help"}) {
        TMessageDlgData r =
            Request("<img src=\"/dev/zero\"><img src=\"" + dir.File("secret.png") +
                        "\"><img src=\"file://" + dir.File("link.png") + "\"><img src=\"" +
                        own.toStdString() + "\"><a href=\"file:///etc/shadow\">x</a>",
                    mb::OK, true);
        r.helpLink = help;
        TAddMsgData extra;
        TfrmMessageDlg dlg(r, extra); // the desktop's own opener
        auto* browser = static_cast<TSafeBrowser*>(dlg.Browser());
        QTextDocument* doc = browser->document();
        EXPECT_EQ(browser->Refused(), 3);
        // A refused picture is no data; the own one is decoded.
        const QVariant zero = doc->resource(QTextDocument::ImageResource, QUrl("/dev/zero"));
        EXPECT_EQ(zero.typeId(), QMetaType::QByteArray);
        EXPECT_TRUE(zero.toByteArray().isEmpty());
        EXPECT_FALSE(doc->resource(QTextDocument::ImageResource, QUrl::fromLocalFile(own))
                         .value<QPixmap>()
                         .isNull());
        emit browser->anchorClicked(QUrl("file:///etc/shadow"));
        dlg.Buttons().back()->click(); // Help
    }
    ClearLinkLog(&owner);
    ASSERT_EQ(desktop.opened.size(), 1u);
    EXPECT_EQ(desktop.opened[0].toString(), "http://www.example.test/help");
    ASSERT_EQ(refusals.size(), 7u); // four links in the text, three Help targets
    EXPECT_EQ(refusals[0], "Link not opened (only http and https links are): file:///etc/shadow");
}

TEST(MessageDialog, TheExtraListOffersItsItemsAndAButtonStoresTheChoice) {
    TMessageDlgData r = Request("Which drive?", mb::OK | mb::Cancel);
    TAddMsgData extra;
    extra.caption = "Drive";
    extra.items = {"Master", "Slave", "Both"};
    extra.choice = 7;
    QtMessageDialog shower;
    QTimer::singleShot(0, [&] {
        auto* dlg = qobject_cast<TfrmMessageDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(dlg->ExtraCaption()->text(), "Drive");
        EXPECT_EQ(dlg->ExtraCaption()->geometry().topLeft(), QPoint(32, 0));
        EXPECT_EQ(dlg->ExtraList()->geometry().topLeft(), QPoint(32, 19));
        EXPECT_EQ(dlg->ExtraList()->width(), 100);
        EXPECT_FALSE(dlg->ExtraList()->isEditable());
        EXPECT_EQ(dlg->ExtraList()->currentIndex(), 0);
        EXPECT_EQ(dlg->Browser()->y(), 40);
        EXPECT_EQ(extra.choice, -1); // nothing left over from an earlier question
        dlg->ExtraList()->setCurrentIndex(2);
        dlg->Buttons()[0]->click();
    });
    EXPECT_EQ(shower.Show(r, extra), mrOK);
    EXPECT_EQ(extra.choice, 1);
}

TEST(QtMainThread, InvokeFromAWorkerRunsOnTheGuiThreadAndWaits) {
    QtMainThread mainThread;
    QThread* gui = QThread::currentThread();
    QThread* ranOn = nullptr;
    std::atomic<bool> done{false};
    bool rethrown = false;
    std::thread worker([&] {
        mainThread.Invoke([&] { ranOn = QThread::currentThread(); });
        try {
            mainThread.Invoke([] { throw std::runtime_error("x"); });
        } catch (const std::runtime_error&) {
            rethrown = true;
        }
        done = true;
    });
    while (!done)
        mainThread.ProcessEvents();
    worker.join();
    EXPECT_EQ(ranOn, gui);
    EXPECT_TRUE(rethrown);
    bool direct = false;
    mainThread.Invoke([&] { direct = QThread::currentThread() == gui; });
    EXPECT_TRUE(direct);
}

} // namespace
} // namespace zkv
