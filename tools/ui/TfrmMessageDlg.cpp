#include "tools/ui/TfrmMessageDlg.h"

#include "support/Termination.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace zkv {

namespace {

QStyle::StandardPixmap IconOf(MsgDlgType kind, bool& has) {
    has = true;
    switch (kind) {
    case MsgDlgType::Error:
        return QStyle::SP_MessageBoxCritical;
    case MsgDlgType::Information:
        return QStyle::SP_MessageBoxInformation;
    case MsgDlgType::Confirmation:
        return QStyle::SP_MessageBoxQuestion;
    case MsgDlgType::Warning:
        return QStyle::SP_MessageBoxWarning;
    case MsgDlgType::Custom:
        break;
    }
    has = false;
    return QStyle::SP_MessageBoxInformation;
}

// Room the window may take on its screen; a message larger than that scrolls.
QSize Room(const QWidget* w) {
    const QScreen* s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!s)
        return {1 << 14, 1 << 14};
    return s->availableGeometry().size() - QSize(40, 80);
}

} // namespace

TfrmMessageDlg::TfrmMessageDlg(TMessageDlgData& request, TAddMsgData& extra, UrlOpener opener,
                               QWidget* parent)
    : QDialog(parent), request_(request), extra_(extra), opener_(std::move(opener)) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);

    // A fresh showing: no answer yet, no choice left over from an earlier question.
    request_.result = 0;
    extra_.choice = -1;
    strip_ = extra_.items.empty() ? 0 : kStripHeight;

    browser_ = new TSafeBrowser(this);
    browser_->setObjectName("browser");
    browser_->setFrameShape(QFrame::NoFrame);
    browser_->setContextMenuPolicy(Qt::NoContextMenu);
    browser_->setOpenLinks(false);
    browser_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    browser_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette pal = browser_->palette();
    pal.setColor(QPalette::Base, QColor(0xD4, 0xD0, 0xC8));
    browser_->setPalette(pal);
    connect(browser_, &QTextBrowser::anchorClicked, this,
            [this](const QUrl& url) { OpenLinkAsUser(url, opener_); });
    browser_->setHtml(QString::fromLatin1(kBodyHeader) + QString::fromStdString(request_.text));

    icon_ = new QLabel(this);
    icon_->setObjectName("icon");
    icon_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    bool hasIcon = false;
    const auto which = IconOf(request_.kind, hasIcon);
    if (hasIcon)
        icon_->setPixmap(style()->standardIcon(which).pixmap(32, 32));
    icon_->setVisible(hasIcon);

    if (strip_ > 0) {
        extraCaption_ = new QLabel(QString::fromStdString(extra_.caption), this);
        extraCaption_->setObjectName("extraCaption");
        extraList_ = new QComboBox(this);
        extraList_->setObjectName("extraList");
        extraList_->setEditable(false);
        for (const std::string& item : extra_.items)
            extraList_->addItem(QString::fromStdString(item));
        extraList_->setCurrentIndex(0);
    }

    bar_ = new QWidget(this);
    bar_->setObjectName("buttonBar");
    for (int index : ButtonIndexes(request_.buttons, request_.needHelp != 0)) {
        auto* b = new QPushButton(QString::fromUtf8(ButtonCaption(index).data(),
                                                    static_cast<int>(ButtonCaption(index).size())),
                                  bar_);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, [this, index] { Press(index); });
        buttons_.push_back(b);
        results_.push_back(index);
    }
    if (!buttons_.empty())
        buttons_.front()->setDefault(true);

    setWindowTitle(QString::fromStdString(KindName(static_cast<std::uint8_t>(request_.kind))));
    Place(kInitialClientWidth, kInitialClientHeight);
    SizeToContent();
    PlaceButtons();
    Centre();
}

// Puts every area in its place for a client area of the given size.
void TfrmMessageDlg::Place(int w, int h) {
    setFixedSize(w, h);
    const int bodyTop = strip_;
    const int bodyHeight = std::max(0, h - strip_ - kButtonBarHeight);
    browser_->setGeometry(kIconColumnWidth, bodyTop, std::max(0, w - kIconColumnWidth), bodyHeight);
    icon_->setGeometry(0, bodyTop + 8, kIconColumnWidth, std::min(bodyHeight, 40));
    if (extraCaption_) {
        extraCaption_->setGeometry(kIconColumnWidth, 0, std::max(0, w - kIconColumnWidth), 19);
        extraList_->setGeometry(kIconColumnWidth, 19, 100, kStripHeight - 19);
    }
    bar_->setGeometry(0, h - kButtonBarHeight, w, kButtonBarHeight);
}

// New size = content size + window size - browser size. The content is at least as large as
// the browser shows it (a short message keeps the initial window) and at most what the screen
// holds (beyond that the browser scrolls).
void TfrmMessageDlg::SizeToContent() {
    QTextDocument* doc = browser_->document();
    const QSize room = Room(this);
    const int extraW = width() - browser_->width();
    const int extraH = height() - browser_->height();

    doc->setTextWidth(-1); // natural width: preformatted lines do not wrap
    int contentW = static_cast<int>(std::ceil(doc->size().width()));
    contentW =
        std::clamp(contentW, browser_->width(), std::max(browser_->width(), room.width() - extraW));
    doc->setTextWidth(contentW);
    int contentH = static_cast<int>(std::ceil(doc->size().height()));
    contentH = std::clamp(contentH, browser_->height(),
                          std::max(browser_->height(), room.height() - extraH));
    Place(contentW + extraW, contentH + extraH);
}

// Buttons 75 wide, bar height - 8 high, 4 from the bar's top, 4 apart, from x = 8; the window
// widens to the row when it is narrower, and the row is centred.
void TfrmMessageDlg::PlaceButtons() {
    const int n = static_cast<int>(buttons_.size());
    const int total = kFirstButtonX + kButtonStep * n + 4;
    if (width() < total)
        Place(total, height());
    const int shift = width() > total ? (width() - total) / 2 : 0;
    for (int i = 0; i < n; ++i)
        buttons_[i]->setGeometry(kFirstButtonX + kButtonStep * i + shift, 4, kButtonWidth,
                                 kButtonBarHeight - 8);
}

void TfrmMessageDlg::Centre() {
    const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s)
        return;
    const QRect avail = s->availableGeometry();
    move(avail.x() + (avail.width() - width()) / 2, avail.y() + (avail.height() - height()) / 2);
}

void TfrmMessageDlg::Press(int index) {
    if (index == mrHelp) {
        // A bare address ("www.example.org/help") is taken as http; anything that is not
        // http or https is refused and logged.
        if (!request_.helpLink.empty())
            OpenLinkAsUser(QUrl::fromUserInput(QString::fromStdString(request_.helpLink)), opener_);
        return; // Help leaves the dialog open
    }
    request_.result = index;
    closedByButton_ = true;
    if (extraList_)
        extra_.choice = extraList_->currentIndex() - 1;
    accept();
}

void TfrmMessageDlg::done(int r) {
    // Closed without a button: the close box answers Cancel; a termination request that closed
    // it refuses (No where offered), so that nothing is agreed to by the signal.
    if (!closedByButton_)
        request_.result = TerminationRequested() ? TerminationAnswer(request_.buttons) : mrCancel;
    QDialog::done(r);
}

std::int32_t QtMessageDialog::Show(TMessageDlgData& request, TAddMsgData& extra) {
    if (TerminationRequested()) {
        // The program is ending: no new question is put to anyone.
        extra.choice = -1;
        request.result = TerminationAnswer(request.buttons);
        return request.result;
    }
    TfrmMessageDlg dlg(request, extra, opener_, QApplication::activeWindow());
    dlg.exec();
    return request.result;
}

} // namespace zkv
