// TfrmMessageDlg: the modal message dialog through which the client asks the user anything, and
// QtMessageDialog, the IMessageDialog that shows it.
//
// The message is HTML in a TSafeBrowser, preformatted Arial on the dialog grey; links (http and
// https only) open with the desktop's handler. The window sizes itself to the message, the button
// bar holds the requested buttons centred, Help opens the help link and leaves the dialog open, and
// every way of closing other than a button answers Cancel (1). An optional drop-down list above the
// message offers the choices of TAddMsgData.
#pragma once

#include "tools/MessageDialog.h"
#include "tools/ui/SafeBrowser.h"

#include <QDialog>

#include <functional>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QTextBrowser;
class QUrl;

namespace zkv {

class TfrmMessageDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kInitialClientWidth = 417;
    static constexpr int kInitialClientHeight = 139;
    static constexpr int kStripHeight = 40;
    static constexpr int kIconColumnWidth = 32;
    static constexpr int kButtonBarHeight = 33;
    static constexpr int kButtonWidth = 75;
    static constexpr int kButtonStep = 79;
    static constexpr int kFirstButtonX = 8;
    // What goes before the message in the browser.
    static constexpr const char* kBodyHeader =
        "<body bgcolor=#D4D0C8><pre><font face=arial size=2>";

    // Lays the dialog out for `request` (and the list of `extra` when it has items). The
    // result goes into request.result, the list's choice into extra.choice, when it closes.
    TfrmMessageDlg(TMessageDlgData& request, TAddMsgData& extra, UrlOpener opener = {},
                   QWidget* parent = nullptr);

    // For tests and screenshots.
    QTextBrowser* Browser() const { return browser_; }
    QComboBox* ExtraList() const { return extraList_; }
    QLabel* ExtraCaption() const { return extraCaption_; }
    QLabel* Icon() const { return icon_; }
    QWidget* ButtonBar() const { return bar_; }
    // The buttons in display order, with the result index of each.
    const std::vector<QPushButton*>& Buttons() const { return buttons_; }
    const std::vector<int>& ButtonResults() const { return results_; }

    // Escape, the close box and Alt+F4 end here without a button: the answer is Cancel. Closed
    // by a termination request (SIGTERM, SIGINT, SIGHUP) the answer is No where offered.
    void done(int r) override;

private:
    void Press(int index);
    void SizeToContent();
    void PlaceButtons();
    void Centre();
    void Place(int clientWidth, int clientHeight);

    TMessageDlgData& request_;
    TAddMsgData& extra_;
    UrlOpener opener_;
    bool closedByButton_ = false;
    int strip_ = 0;

    QTextBrowser* browser_ = nullptr;
    QLabel* icon_ = nullptr;
    QLabel* extraCaption_ = nullptr;
    QComboBox* extraList_ = nullptr;
    QWidget* bar_ = nullptr;
    std::vector<QPushButton*> buttons_;
    std::vector<int> results_;
};

// The desktop client's IMessageDialog: shows a TfrmMessageDlg modally for each request. Show is
// called on the GUI thread; worker threads reach it through IMainThread::Invoke.
class QtMessageDialog final : public IMessageDialog {
public:
    explicit QtMessageDialog(UrlOpener opener = {}) : opener_(std::move(opener)) {}
    std::int32_t Show(TMessageDlgData& request, TAddMsgData& extra) override;

private:
    UrlOpener opener_;
};

} // namespace zkv
