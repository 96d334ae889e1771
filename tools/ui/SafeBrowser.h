// TSafeBrowser: the HTML view for text that comes from outside (the work form's log, the
// technician's messages, the live-support page), and OpenLinkAsUser, the one way a link leaves
// the program.
//
// HTML from the service may name any file as a picture or a style sheet (<img src="/dev/zero">
// would hang the window, and a readable file would be shown). The view loads only the program's
// own resources: Qt resources (qrc) and regular files under the program's resource directory,
// each at most kMaxResourceBytes, opened without following links and without blocking. Every
// other name gets an empty answer (a missing picture), never a read.
//
// Links go to the desktop (QDesktopServices, in the process and with the rights of the user
// who runs the client) only when they are http or https addresses with a host; any other
// scheme is refused, and the refusal logged.
#pragma once

#include <QTextBrowser>

#include <functional>
#include <string>

class QUrl;

namespace zkv {

// Opens a link or the help target outside the program; QDesktopServices::openUrl unless a
// test installs another.
using UrlOpener = std::function<void(const QUrl&)>;

// Largest resource file a view loads.
inline constexpr qint64 kMaxResourceBytes = 4 * 1024 * 1024;

// The directory of the program's shipped files (share/zelkova-user-client when installed,
// resources/ beside the program in a build tree), as a canonical path; empty when none exists.
QString ProgramResourceDir();

class TSafeBrowser : public QTextBrowser {
    Q_OBJECT
public:
    explicit TSafeBrowser(QWidget* parent = nullptr);

    // The program's own resources only; anything else is answered with no data.
    QVariant loadResource(int type, const QUrl& name) override;

    // How many loads were refused so far.
    int Refused() const { return refused_; }

private:
    int refused_ = 0;
};

// True for an http or https address with a host: the only links that leave the program.
bool LinkMayOpen(const QUrl& url);

// Hands `url` to the desktop (`desktop`, or QDesktopServices::openUrl when empty) when
// LinkMayOpen allows it; otherwise logs the refusal through the link log. Returns whether the
// link was handed over.
bool OpenLinkAsUser(const QUrl& url, const UrlOpener& desktop = {});

// Where refused links are logged (one line each), installed by `owner` (the window); without
// one, on standard error. ClearLinkLog removes the log only if `owner` installed it.
using LinkLog = std::function<void(const std::string&)>;
void SetLinkLog(const void* owner, LinkLog log);
void ClearLinkLog(const void* owner);

} // namespace zkv
