#include "app/TfrmMainForm.h"

#include "app/TEditLetNum.h"
#include "app/TPROXYClientSocket.h"
#include "app/TfmNetworkOptionsDialog.h"
#include "app/model/SessionRules.h"
#include "support/Deployment.h"

#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace zkv {

void OpenAddress(const QString& address) {
    QDesktopServices::openUrl(QUrl(address.left(255)));
}

QString TfrmMainForm::HelpPageAddress() {
    return QString::fromUtf8(kServiceWebSite) + QString::fromUtf8(kSetupInstructionsPath);
}

QString TfrmMainForm::HomePageAddress() {
    return QString::fromUtf8(kServiceWebSite);
}

TLoginPicture::TLoginPicture(QWidget* parent) : QWidget(parent) {
    setFixedWidth(190);
}

void TLoginPicture::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    QLinearGradient sky(r.topLeft(), r.bottomLeft());
    sky.setColorAt(0, QColor(18, 52, 96));
    sky.setColorAt(1, QColor(40, 120, 140));
    p.fillRect(r, sky);

    // The disk platter: rings around a hub, with the head arm across it.
    const QPointF c(r.width() / 2, r.height() * 0.70);
    const double R = r.width() * 0.40;
    QRadialGradient platter(c, R);
    platter.setColorAt(0, QColor(235, 240, 245));
    platter.setColorAt(1, QColor(150, 165, 180));
    p.setPen(QPen(QColor(60, 70, 85), 2));
    p.setBrush(platter);
    p.drawEllipse(c, R, R);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(120, 135, 150, 160), 1));
    for (double k = 0.35; k < 0.95; k += 0.12)
        p.drawEllipse(c, R * k, R * k);
    p.setBrush(QColor(70, 80, 95));
    p.drawEllipse(c, R * 0.12, R * 0.12);
    p.setPen(QPen(QColor(40, 45, 55), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(c.x() + R * 0.95, c.y() + R * 0.85),
               QPointF(c.x() + R * 0.15, c.y() - R * 0.35));

    // The zelkova: a short trunk and a wide vase-shaped crown above the platter.
    const QPointF base(r.width() / 2, r.height() * 0.44);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(92, 64, 40));
    QPainterPath trunk;
    trunk.moveTo(base.x() - 7, base.y());
    trunk.lineTo(base.x() - 3, base.y() - 45);
    trunk.lineTo(base.x() + 3, base.y() - 45);
    trunk.lineTo(base.x() + 7, base.y());
    p.drawPath(trunk);
    const QColor leaves[] = {QColor(46, 139, 87), QColor(60, 170, 100), QColor(34, 110, 70)};
    const QPointF blobs[] = {{-38, -70}, {0, -92},   {38, -70}, {-20, -105},
                             {22, -108}, {-55, -95}, {55, -95}, {0, -125}};
    int i = 0;
    for (const QPointF& b : blobs) {
        p.setBrush(leaves[i++ % 3]);
        p.drawEllipse(base + b, 30, 24);
    }
    p.setPen(QColor(230, 240, 250));
    QFont f = font();
    f.setBold(true);
    f.setPointSize(11);
    p.setFont(f);
    p.drawText(QRectF(0, r.height() - 28, r.width(), 24), Qt::AlignCenter, "Remote disk repair");
}

TfrmMainForm::TfrmMainForm(UserInfo& user, ProxySetting& proxy, std::filesystem::path userDataFile,
                           TPROXYClientSocket* socket, QWidget* parent)
    : QDialog(parent), user_(user), proxy_(proxy), userDataFile_(std::move(userDataFile)),
      socket_(socket) {
    setObjectName("frmMainForm");
    setWindowTitle("Zelkova User Client");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(622, 354);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(new TLoginPicture(this));
    auto* right = new QVBoxLayout;
    right->setContentsMargins(24, 18, 24, 16);
    row->addLayout(right, 1);

    lblTitle = new QLabel("<span style='font-size:20pt; font-weight:bold; color:#123460'>Welcome "
                          "to Zelkova</span><sup style='font-size:8pt'>TM</sup>",
                          this);
    lblTitle->setObjectName("lblTitle");
    right->addWidget(lblTitle);
    lblVersion = new QLabel(
        QString::fromStdString(LoginVersionLabel(user_.versionMajor, user_.versionMinor)), this);
    lblVersion->setObjectName("lblVersion");
    auto* linkRow = new QHBoxLayout;
    lblHelpLink = new QLabel(QString("<a href=\"%1\">Help page</a>").arg(HelpPageAddress()), this);
    lblHomeLink = new QLabel(
        QString("<a href=\"%1\">%2</a>").arg(HomePageAddress(), QUrl(HomePageAddress()).host()),
        this);
    for (QLabel* l : {lblHelpLink, lblHomeLink}) {
        l->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        l->setOpenExternalLinks(false);
        connect(l, &QLabel::linkActivated, this, [](const QString& a) { OpenAddress(a); });
    }
    linkRow->addWidget(lblVersion);
    linkRow->addStretch(1);
    linkRow->addWidget(lblHelpLink);
    linkRow->addSpacing(12);
    linkRow->addWidget(lblHomeLink);
    right->addLayout(linkRow);
    right->addSpacing(14);

    auto* heading = new QLabel("<b>User settings:</b>", this);
    right->addWidget(heading);
    auto* grid = new QGridLayout;
    edtUserEmail = new QLineEdit(this);
    edtUserEmail->setObjectName("edtUserEmail");
    edtOrderID = new TEditLetNum(this);
    edtOrderID->setObjectName("edtOrderID");
    edtOrderID->SetEnableLet(false);
    edtOrderID->SetEnableNum(true);
    grid->addWidget(new QLabel("Email Address:", this), 0, 0);
    grid->addWidget(edtUserEmail, 0, 1);
    grid->addWidget(new QLabel("Order Number", this), 1, 0);
    grid->addWidget(edtOrderID, 1, 1);
    right->addLayout(grid);
    // Filled, never shown nor read back.
    edtUserName = new QLineEdit(this);
    edtUserName->setObjectName("edtUserName");
    edtUserName->hide();
    edtUserPassword = new QLineEdit(this);
    edtUserPassword->setObjectName("edtUserPassword");
    edtUserPassword->setEchoMode(QLineEdit::Password);
    edtUserPassword->hide();
    right->addStretch(1);

    auto* buttons = new QHBoxLayout;
    btnProxySetting = new QPushButton("Network Settings...", this);
    btnProxySetting->setObjectName("btnProxySetting");
    btnConnect = new QPushButton("OK", this);
    btnConnect->setObjectName("btnConnect");
    btnConnect->setDefault(true);
    btnConnect->setMinimumWidth(90);
    buttons->addWidget(btnProxySetting);
    buttons->addStretch(1);
    buttons->addWidget(btnConnect);
    right->addLayout(buttons);

    // The create event: fields from the records, then the OK rule.
    edtOrderID->setText(QString::number(user_.orderNumber));
    edtUserName->setText(QString::fromStdString(user_.userName));
    edtUserEmail->setText(QString::fromStdString(user_.email));
    edtUserPassword->setText(QString::fromStdString(user_.password));
    for (QLineEdit* e :
         {edtUserEmail, static_cast<QLineEdit*>(edtOrderID), edtUserName, edtUserPassword})
        connect(e, &QLineEdit::textChanged, this, &TfrmMainForm::UpdateOkButton);
    connect(btnConnect, &QPushButton::clicked, this, &TfrmMainForm::btnConnectClick);
    connect(btnProxySetting, &QPushButton::clicked, this, &TfrmMainForm::btnProxySettingClick);
    UpdateOkButton();
}

void TfrmMainForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    edtUserEmail->setFocus();
}

void TfrmMainForm::UpdateOkButton() {
    btnConnect->setEnabled(
        LoginOkEnabled(edtUserEmail->text().toStdString(), edtOrderID->text().toStdString()));
}

void TfrmMainForm::btnConnectClick() {
    if (!ApplyLoginOk(edtUserEmail->text().toStdString(), edtOrderID->text().toStdString(), user_))
        return;
    accept();
}

void TfrmMainForm::btnProxySettingClick() {
    if (!NetworkOptionsExecute(proxy_, this))
        return;
    if (!socket_)
        return;
    if (!socket_->Active()) {
        socket_->SetUseProxy(proxy_.useProxy);
        socket_->SetPROXYVersion(proxy_.proxyKind);
    }
    socket_->SetHost(proxy_.serverHost);
    socket_->SetPort(proxy_.serverPort);
    socket_->SetProxyHost(proxy_.proxyHost);
    socket_->SetProxyPort(proxy_.proxyPort);
    socket_->SetUserName(proxy_.proxyUserName);
    socket_->SetUserPassword(proxy_.proxyPassword);
    socket_->SetUseProxyToResolveHost(proxy_.resolveHostThroughProxy);
}

void TfrmMainForm::done(int r) {
    // Every close writes the records back; only OK changed them.
    saveError_.clear();
    saved_ = SaveUserData(userDataFile_, user_, proxy_, &saveError_);
    QDialog::done(r);
}

} // namespace zkv
