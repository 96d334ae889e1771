#include "tools/ui/TfrmJumpers.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace zkv {

namespace {

QString Rgb(std::uint32_t colour) {
    // Window colour values are 0x00BBGGRR.
    return QString("#%1%2%3")
        .arg(colour & 0xFF, 2, 16, QChar('0'))
        .arg((colour >> 8) & 0xFF, 2, 16, QChar('0'))
        .arg((colour >> 16) & 0xFF, 2, 16, QChar('0'));
}

QString TextBoxStyle(const JumperScreen& s) {
    return QString("QTextEdit#RichEdit1 { background-color: %1; color: black; border: %2; }")
        .arg(Rgb(s.textColour), s.textBorder ? "1px solid #808080" : "none");
}

QString Lines(const std::vector<std::string>& lines) {
    QStringList out;
    for (const auto& l : lines)
        out << QString::fromStdString(l);
    return out.join('\n');
}

} // namespace

QString TfrmJumpers::ResourceDir() {
    const QString exeDir = QCoreApplication::applicationDirPath();
    for (const QString& dir : {exeDir + "/../share/zelkova-user-client/images",
                               exeDir + "/resources/images", exeDir + "/../app/resources/images"}) {
        if (QFileInfo::exists(dir + "/imgHDD.png"))
            return QDir(dir).absolutePath();
    }
    return {};
}

void TfrmJumpers::PlayChime() {
    const QString dir = ResourceDir();
    if (dir.isEmpty() || !QFileInfo::exists("/dev/snd"))
        return;
    const QString player = QStandardPaths::findExecutable("aplay");
    if (player.isEmpty())
        return;
    // Started without a shell; its failures (no card, device busy) go nowhere.
    QProcess p;
    p.setProgram(player);
    p.setArguments({"-q", dir + "/ringin.wav"});
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.startDetached();
}

TfrmJumpers::TfrmJumpers(bool unattended, QWidget* parent, int answerDelayMs)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      unattended_(unattended), answerDelayMs_(answerDelayMs) {
    setObjectName("frmJumpers");
    // A side window: closing the work form ends the program even while this one shows.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle("Message from Technician");
    setModal(false);
    resize(460, 470);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(6, 6, 6, 6);

    // The picture area along the top; the inner panel stacks the first picture.
    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    auto* pictureLayout = new QVBoxLayout(Panel1);
    pictureLayout->setContentsMargins(0, 0, 0, 0);
    pictureLayout->setSpacing(0);
    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName("Panel2");
    auto* holderLayout = new QVBoxLayout(Panel2);
    holderLayout->setContentsMargins(0, 0, 0, 0);
    holderLayout->setSpacing(0);
    pictureLayout->addWidget(Panel2);
    const QString dir = ResourceDir();
    for (int i = 0; i < kJumperPictureCount; ++i) {
        const char* name = PictureName(static_cast<JumperPicture>(i));
        auto* img = new QLabel(Panel1);
        img->setObjectName(name);
        img->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        QPixmap pixmap(dir + "/" + name + ".png");
        if (pixmap.isNull())
            img->setText(name);
        else
            img->setPixmap(pixmap);
        img->hide();
        pictures_[static_cast<std::size_t>(i)] = img;
    }
    pictureLayout->addStretch(1);
    Panel1->setFixedHeight(0);
    root->addWidget(Panel1);

    RichEdit1 = new QTextEdit(this);
    RichEdit1->setObjectName("RichEdit1");
    RichEdit1->setReadOnly(true);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont f = RichEdit1->font();
    f.setPixelSize(15);
    RichEdit1->setFont(f);
    JumperScreen design;
    RichEdit1->setStyleSheet(TextBoxStyle(design));
    RichEdit1->setPlainText(Lines(design.lines));
    root->addWidget(RichEdit1, 1);

    cbbVendors = new QComboBox(this);
    cbbVendors->setObjectName("cbbVendors");
    cbbVendors->setEditable(true);
    cbbVendors->setEditText("Unknown");
    cbbVendors->hide();
    root->addWidget(cbbVendors);

    auto* bar = new QHBoxLayout;
    btnDone = new QPushButton("Done", this);
    btnDone->setObjectName("btnDone");
    btnICanNot = new QPushButton("I can't", this);
    btnICanNot->setObjectName("btnICanNot");
    for (auto* b : {btnDone, btnICanNot}) {
        b->setAutoDefault(false);
        b->setMinimumWidth(110);
    }
    bar->addStretch(1);
    bar->addWidget(btnDone);
    bar->addWidget(btnICanNot);
    bar->addStretch(1);
    root->addLayout(bar);

    connect(btnDone, &QPushButton::clicked, this, [this] {
        answer_ = 1;
        done(QDialog::Accepted);
    });
    connect(btnICanNot, &QPushButton::clicked, this, [this] {
        answer_ = 0;
        done(QDialog::Rejected);
    });
}

void TfrmJumpers::ShowScreen(const JumperScreen& s) {
    screenNumber_ = s.code;
    // The first picture sits in the inner panel at the top, the others below it.
    auto* pictureLayout = static_cast<QVBoxLayout*>(Panel1->layout());
    auto* holderLayout = Panel2->layout();
    for (auto* img : pictures_) {
        pictureLayout->removeWidget(img);
        holderLayout->removeWidget(img);
        img->hide();
        img->setParent(Panel1);
    }
    Panel2->setVisible(s.holderVisible && !s.pictures.empty());
    for (std::size_t i = 0; i < s.pictures.size(); ++i) {
        QLabel* img = Picture(s.pictures[i]);
        if (i == 0) {
            img->setParent(Panel2);
            holderLayout->addWidget(img);
        } else {
            pictureLayout->insertWidget(static_cast<int>(i), img);
        }
        img->show();
    }
    Panel1->setFixedHeight(s.pictureAreaHeight);

    RichEdit1->setPlainText(Lines(s.lines));
    RichEdit1->setStyleSheet(TextBoxStyle(s));

    btnDone->setText(QString::fromStdString(s.done.caption));
    btnDone->setEnabled(s.done.enabled);
    btnDone->setVisible(s.done.visible);
    btnICanNot->setText(QString::fromStdString(s.iCanNot.caption));
    btnICanNot->setEnabled(s.iCanNot.enabled);
    btnICanNot->setVisible(s.iCanNot.visible);

    // The list only grows by what the screen added; what the user typed stays.
    for (; vendorsShown_ < s.vendors.size(); ++vendorsShown_) {
        const QString text = cbbVendors->currentText();
        cbbVendors->addItem(QString::fromStdString(s.vendors[vendorsShown_]));
        cbbVendors->setEditText(text);
    }
    cbbVendors->setVisible(s.vendorsVisible);

    answer_ = 0;
    open_ = true;
    if (!isVisible()) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
        show();
    } else {
        AnswerIfUnattended();
    }
    raise();
    activateWindow();
}

void TfrmJumpers::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    AnswerIfUnattended();
}

void TfrmJumpers::AnswerIfUnattended() {
    if (!unattended_)
        return;
    // No person: the first button that can be pressed answers, once the window is up.
    QTimer::singleShot(answerDelayMs_, this, [this] {
        if (!open_)
            return;
        for (QPushButton* b : {btnDone, btnICanNot}) {
            if (b->isVisible() && b->isEnabled()) {
                b->click();
                return;
            }
        }
        done(QDialog::Rejected);
    });
}

std::string TfrmJumpers::VendorText() const {
    return cbbVendors->currentText().toStdString();
}

void TfrmJumpers::done(int r) {
    // Every way out (the two buttons, Alt+F4, Escape) ends here; only btnDone set the answer 1.
    QDialog::done(r);
    if (!open_)
        return;
    open_ = false;
    if (onClosed_)
        onClosed_(screenNumber_, answer_);
}

} // namespace zkv
