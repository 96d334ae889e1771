#include "app/TfmNetworkOptionsDialog.h"

#include "tools/MessageDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace zkv {

namespace {

QLineEdit* Edit(QWidget* parent, const char* name, const char* hint) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setToolTip(hint);
    return e;
}

} // namespace

TfmNetworkOptionsDialog::TfmNetworkOptionsDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Network Options");
    setObjectName("fmNetworkOptionsDialog");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    auto* root = new QVBoxLayout(this);

    ConnectionGroup = new QGroupBox("Connection options", this);
    auto* cg = new QGridLayout(ConnectionGroup);
    HostEdit = Edit(ConnectionGroup, "HostEdit", "Address of the Zelkova server");
    PortEdit = Edit(ConnectionGroup, "PortEdit", "Port number of the Zelkova server");
    PortEdit->setMaximumWidth(80);
    cg->addWidget(new QLabel("Zelkova server", ConnectionGroup), 0, 0);
    cg->addWidget(new QLabel("Port", ConnectionGroup), 0, 1);
    cg->addWidget(HostEdit, 1, 0);
    cg->addWidget(PortEdit, 1, 1);
    UseProxyCheckBox = new QCheckBox("Use Proxy Server", ConnectionGroup);
    UseProxyCheckBox->setObjectName("UseProxyCheckBox");
    cg->addWidget(UseProxyCheckBox, 2, 0, 1, 2);
    SOCKSGroup = new QGroupBox("Protocol", ConnectionGroup);
    SOCKSGroup->setObjectName("SOCKSGroup");
    SOCKSGroup->setToolTip("Protocol of the proxy server");
    auto* pg = new QHBoxLayout(SOCKSGroup);
    Socks4Radio = new QRadioButton("SOCKS 4", SOCKSGroup);
    Socks5Radio = new QRadioButton("SOCKS 5", SOCKSGroup);
    HttpRadio = new QRadioButton("HTTP", SOCKSGroup);
    protocol_ = new QButtonGroup(this);
    protocol_->addButton(Socks4Radio, 0);
    protocol_->addButton(Socks5Radio, 1);
    protocol_->addButton(HttpRadio, 2);
    for (auto* r : {Socks4Radio, Socks5Radio, HttpRadio})
        pg->addWidget(r);
    cg->addWidget(SOCKSGroup, 3, 0, 1, 2);
    Socks4ACheckBox = new QCheckBox("Use proxy server to resolve host", ConnectionGroup);
    Socks4ACheckBox->setObjectName("Socks4ACheckBox");
    Socks4ACheckBox->setToolTip("Force host resolving by proxy server");
    cg->addWidget(Socks4ACheckBox, 4, 0, 1, 2);
    root->addWidget(ConnectionGroup);

    ProxyInfoGroup = new QGroupBox("Proxy Info", this);
    auto* ig = new QGridLayout(ProxyInfoGroup);
    SOCKSHostLabel = new QLabel("Host", ProxyInfoGroup);
    SOCKSPortLabel = new QLabel("Port", ProxyInfoGroup);
    SOCKSHostEdit = Edit(ProxyInfoGroup, "SOCKSHostEdit", "Address of the proxy server");
    SOCKSPortEdit = Edit(ProxyInfoGroup, "SOCKSPortEdit", "Port number of the proxy server");
    SOCKSPortEdit->setMaximumWidth(80);
    ig->addWidget(SOCKSHostLabel, 0, 0);
    ig->addWidget(SOCKSPortLabel, 0, 1);
    ig->addWidget(SOCKSHostEdit, 1, 0);
    ig->addWidget(SOCKSPortEdit, 1, 1);
    root->addWidget(ProxyInfoGroup);

    AuthGroup = new QGroupBox("Authentication", this);
    auto* ag = new QGridLayout(AuthGroup);
    SOCKSUserLabel = new QLabel("User Name", AuthGroup);
    SOCKSPassLabel = new QLabel("Password", AuthGroup);
    SOCKSUserEdit = Edit(AuthGroup, "SOCKSUserEdit",
                         "User name for SOCKS 5 or UserId for SOCKS 4 ( if required )");
    SOCKSPassEdit = Edit(AuthGroup, "SOCKSPassEdit", "User password (SOCKS5 only)");
    // No length limit: a stored user name or password longer than the field shows is kept as
    // it is (the proxy handshake itself refuses what its protocol cannot carry).
    SOCKSPassEdit->setEchoMode(QLineEdit::Password);
    ag->addWidget(SOCKSUserLabel, 0, 0);
    ag->addWidget(SOCKSPassLabel, 0, 1);
    ag->addWidget(SOCKSUserEdit, 1, 0);
    ag->addWidget(SOCKSPassEdit, 1, 1);
    root->addWidget(AuthGroup);

    auto* buttons = new QHBoxLayout;
    DefaultButton = new QPushButton("Default", this);
    OkButton = new QPushButton("Ok", this);
    CancelButton = new QPushButton("Cancel", this);
    DefaultButton->setObjectName("DefaultButton");
    OkButton->setObjectName("OkButton");
    CancelButton->setObjectName("CancelButton");
    OkButton->setDefault(true);
    buttons->addWidget(DefaultButton);
    buttons->addStretch(1);
    buttons->addWidget(OkButton);
    buttons->addWidget(CancelButton);
    root->addLayout(buttons);

    connect(UseProxyCheckBox, &QCheckBox::clicked, this,
            &TfmNetworkOptionsDialog::ApplyEnablingRule);
    connect(protocol_, &QButtonGroup::idClicked, this, &TfmNetworkOptionsDialog::ApplyPasswordRule);
    connect(OkButton, &QPushButton::clicked, this, &TfmNetworkOptionsDialog::OkButtonClick);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(DefaultButton, &QPushButton::clicked, this,
            &TfmNetworkOptionsDialog::DefaultButtonClick);
    // Esc anywhere closes with the cancel result (QDialog's own key handling).
}

void TfmNetworkOptionsDialog::Fill(const NetworkOptions& o) {
    HostEdit->setText(QString::fromStdString(o.serverHost));
    PortEdit->setText(QString::number(o.serverPort));
    UseProxyCheckBox->setChecked(o.useProxy);
    Socks4ACheckBox->setChecked(o.resolveHostThroughProxy);
    SOCKSHostEdit->setText(QString::fromStdString(o.proxyHost));
    SOCKSPortEdit->setText(QString::number(o.proxyPort));
    SOCKSUserEdit->setText(QString::fromStdString(o.proxyUserName));
    SOCKSPassEdit->setText(QString::fromStdString(o.proxyPassword));
    protocol_->button(ProtocolItemOf(o.proxyKind))->setChecked(true);
    ApplyEnablingRule();
}

int TfmNetworkOptionsDialog::ProtocolItem() const {
    return std::max(0, protocol_->checkedId());
}

NetworkOptions TfmNetworkOptionsDialog::Values() const {
    NetworkOptions o;
    o.useProxy = UseProxyCheckBox->isChecked();
    o.resolveHostThroughProxy = Socks4ACheckBox->isChecked();
    o.serverHost = HostEdit->text().toStdString();
    o.serverPort = ParsePort(PortEdit->text().toStdString()).value_or(0);
    o.proxyHost = SOCKSHostEdit->text().toStdString();
    o.proxyPort = ParsePort(SOCKSPortEdit->text().toStdString()).value_or(0);
    o.proxyUserName = SOCKSUserEdit->text().toStdString();
    o.proxyPassword = SOCKSPassEdit->text().toStdString();
    o.proxyKind = ProxyKindOf(ProtocolItem(), o.resolveHostThroughProxy);
    return o;
}

void TfmNetworkOptionsDialog::ApplyEnablingRule() {
    const NetworkEnabling e = NetworkEnablingOf(UseProxyCheckBox->isChecked(), ProtocolItem());
    for (QWidget* w : std::initializer_list<QWidget*>{
             SOCKSGroup, Socks4ACheckBox, SOCKSHostEdit, SOCKSPortEdit, SOCKSUserEdit,
             ProxyInfoGroup, AuthGroup, SOCKSHostLabel, SOCKSPortLabel, SOCKSUserLabel})
        w->setEnabled(e.proxyControls);
    SOCKSPassEdit->setEnabled(e.password);
    SOCKSPassLabel->setEnabled(e.password);
}

void TfmNetworkOptionsDialog::ApplyPasswordRule() {
    const NetworkEnabling e = NetworkEnablingOf(UseProxyCheckBox->isChecked(), ProtocolItem());
    SOCKSPassEdit->setEnabled(e.password);
    SOCKSPassLabel->setEnabled(e.password);
}

void TfmNetworkOptionsDialog::OkButtonClick() {
    if (!ParsePort(PortEdit->text().toStdString())) {
        ShowMessageDlg(kInvalidServerPort, MsgDlgType::Error, mb::OK);
        return;
    }
    if (!ParsePort(SOCKSPortEdit->text().toStdString())) {
        ShowMessageDlg(kInvalidProxyPort, MsgDlgType::Error, mb::OK);
        return;
    }
    accept();
}

void TfmNetworkOptionsDialog::DefaultButtonClick() {
    Fill(DefaultNetworkOptions());
}

bool NetworkOptionsExecute(NetworkOptions& o, QWidget* parent) {
    TfmNetworkOptionsDialog dialog(parent);
    dialog.Fill(o);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    o = dialog.Values();
    return true;
}

} // namespace zkv
