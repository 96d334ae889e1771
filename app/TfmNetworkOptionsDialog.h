// TfmNetworkOptionsDialog: where the service's server is and whether to reach it through a
// proxy. Checks both port numbers on Ok; Default restores the factory settings in the fields.
#pragma once

#include "app/model/SessionRules.h"

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace zkv {

class TfmNetworkOptionsDialog : public QDialog {
    Q_OBJECT
public:
    explicit TfmNetworkOptionsDialog(QWidget* parent = nullptr);

    void Fill(const NetworkOptions& o);
    // The fields as Ok stores them (ports already checked).
    NetworkOptions Values() const;
    void ApplyEnablingRule();
    void ApplyPasswordRule();
    int ProtocolItem() const;

    void OkButtonClick();
    void DefaultButtonClick();

    QGroupBox* ConnectionGroup;
    QLineEdit* HostEdit;
    QLineEdit* PortEdit;
    QCheckBox* UseProxyCheckBox;
    QGroupBox* SOCKSGroup;
    QRadioButton* Socks4Radio;
    QRadioButton* Socks5Radio;
    QRadioButton* HttpRadio;
    QCheckBox* Socks4ACheckBox;
    QGroupBox* ProxyInfoGroup;
    QLabel* SOCKSHostLabel;
    QLineEdit* SOCKSHostEdit;
    QLabel* SOCKSPortLabel;
    QLineEdit* SOCKSPortEdit;
    QGroupBox* AuthGroup;
    QLabel* SOCKSUserLabel;
    QLineEdit* SOCKSUserEdit;
    QLabel* SOCKSPassLabel;
    QLineEdit* SOCKSPassEdit;
    QPushButton* OkButton;
    QPushButton* CancelButton;
    QPushButton* DefaultButton;

private:
    QButtonGroup* protocol_;
    std::int32_t serverPort_ = 0;
    std::int32_t proxyPort_ = 0;
};

// Shows the dialog modally on `o`; true and `o` updated when it was closed with Ok, false and
// `o` unchanged otherwise.
bool NetworkOptionsExecute(NetworkOptions& o, QWidget* parent = nullptr);

} // namespace zkv
