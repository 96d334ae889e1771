#include "tools/ui/SafeBrowser.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace zkv {

namespace {

std::mutex gLinkLogLock;
LinkLog gLinkLog;
const void* gLinkLogOwner = nullptr;

// Reads a regular file of at most kMaxResourceBytes without following a final link and
// without blocking on a FIFO or a device; a null array for anything else.
QByteArray ReadRegularFile(const QString& path) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxResourceBytes) {
        out.resize(static_cast<qsizetype>(st.st_size));
        qsizetype got = 0;
        while (got < out.size()) {
            const ssize_t n =
                ::read(fd, out.data() + got, static_cast<std::size_t>(out.size() - got));
            if (n <= 0)
                break;
            got += n;
        }
        out.resize(got);
        if (out.isNull())
            out = QByteArray(""); // an empty file is an empty resource, not a refusal
    }
    ::close(fd);
    return out;
}

// The resource under the program's resource directory that `name` points at, or a null array.
QByteArray OwnResource(const QUrl& name) {
    const QString scheme = name.scheme().toLower();
    if (scheme == "qrc" || (scheme.isEmpty() && name.path().startsWith(":/"))) {
        QFile f(scheme == "qrc" ? ":" + name.path() : name.path());
        if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxResourceBytes)
            return {};
        return f.read(kMaxResourceBytes);
    }
    if (!scheme.isEmpty() && scheme != "file")
        return {};
    const QString root = ProgramResourceDir();
    if (root.isEmpty())
        return {};
    QString path = scheme == "file" ? name.toLocalFile() : name.path();
    if (QFileInfo(path).isRelative())
        path = root + "/" + path;
    // The real path, links resolved, must lie inside the resource directory.
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty() || !real.startsWith(root + "/"))
        return {};
    return ReadRegularFile(real);
}

void LogRefusal(const std::string& line) {
    LinkLog log;
    {
        std::lock_guard<std::mutex> lock(gLinkLogLock);
        log = gLinkLog;
    }
    if (log)
        log(line);
    else
        std::fprintf(stderr, "zelkova-user-client: %s\n", line.c_str());
}

} // namespace

QString ProgramResourceDir() {
    const QString exeDir = QCoreApplication::applicationDirPath();
    for (const QString& dir : {exeDir + "/../share/zelkova-user-client", exeDir + "/resources",
                               exeDir + "/../app/resources"}) {
        const QString real = QFileInfo(dir).canonicalFilePath();
        if (!real.isEmpty() && QFileInfo(real).isDir())
            return real;
    }
    return {};
}

TSafeBrowser::TSafeBrowser(QWidget* parent) : QTextBrowser(parent) {
    // Links are the program's to open (OpenLinkAsUser), never the view's own navigation.
    setOpenLinks(false);
    setOpenExternalLinks(false);
}

QVariant TSafeBrowser::loadResource(int, const QUrl& name) {
    QByteArray bytes = OwnResource(name);
    if (bytes.isNull()) {
        ++refused_;
        // A null answer would let the document read the file itself: answer with no data.
        bytes = QByteArray("");
    }
    return bytes;
}

bool LinkMayOpen(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

bool OpenLinkAsUser(const QUrl& url, const UrlOpener& desktop) {
    if (!LinkMayOpen(url)) {
        QString shown = url.toString();
        if (shown.size() > 200)
            shown = shown.left(200) + "...";
        LogRefusal("Link not opened (only http and https links are): " +
                   shown.toHtmlEscaped().toStdString());
        return false;
    }
    if (desktop)
        desktop(url);
    else
        QDesktopServices::openUrl(url);
    return true;
}

void SetLinkLog(const void* owner, LinkLog log) {
    std::lock_guard<std::mutex> lock(gLinkLogLock);
    gLinkLogOwner = owner;
    gLinkLog = std::move(log);
}

void ClearLinkLog(const void* owner) {
    std::lock_guard<std::mutex> lock(gLinkLogLock);
    if (gLinkLogOwner != owner)
        return;
    gLinkLogOwner = nullptr;
    gLinkLog = nullptr;
}

} // namespace zkv
