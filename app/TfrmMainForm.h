// TfrmMainForm: the login dialog. The user gives the e-mail address and the order number of the
// repair order; OK stores them into the user record, and every close writes user.dat. Network
// Settings... edits the connection fields and hands them at once to the connection component.
#pragma once

#include "support/UserData.h"

#include <QDialog>

#include <filesystem>

class QLabel;
class QLineEdit;
class QPushButton;

namespace zkv {

class TEditLetNum;
class TPROXYClientSocket;

class TfrmMainForm : public QDialog {
    Q_OBJECT
public:
    // `socket` (may be null) receives the confirmed network settings at once.
    TfrmMainForm(UserInfo& user, ProxySetting& proxy, std::filesystem::path userDataFile,
                 TPROXYClientSocket* socket, QWidget* parent = nullptr);

    void UpdateOkButton();
    void btnConnectClick();
    void btnProxySettingClick();
    // Where the links point (the help page, the home page).
    static QString HelpPageAddress();
    static QString HomePageAddress();

    QLabel* lblTitle;
    QLabel* lblVersion;
    QLabel* lblHelpLink;
    QLabel* lblHomeLink;
    QLineEdit* edtUserEmail;
    TEditLetNum* edtOrderID;
    QLineEdit* edtUserName;
    QLineEdit* edtUserPassword;
    QPushButton* btnConnect;
    QPushButton* btnProxySetting;

    // Whether the last save of user.dat succeeded, and why not.
    bool Saved() const { return saved_; }
    const std::string& SaveError() const { return saveError_; }

    void done(int r) override;

protected:
    void showEvent(QShowEvent* e) override;

private:
    UserInfo& user_;
    ProxySetting& proxy_;
    std::filesystem::path userDataFile_;
    TPROXYClientSocket* socket_;
    bool saved_ = false;
    std::string saveError_;
};

// The picture along the dialog's left edge: a disk platter under a zelkova crown.
class TLoginPicture : public QWidget {
    Q_OBJECT
public:
    explicit TLoginPicture(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;
};

// Opens an address with the desktop's handler; at most 255 characters of it are used.
void OpenAddress(const QString& address);

} // namespace zkv
