#include "app/model/SessionLog.h"

#include "app/model/LogModel.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zkv {

SessionLog::~SessionLog() {
    Close();
}

namespace {

bool MakeDir(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    error = path + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool SessionLog::Open(const std::string& dataDir) {
    Close();
    error_.clear();
    const std::string logs = dataDir + "/logs";
    if (!MakeDir(dataDir, error_) || !MakeDir(logs, error_))
        return false;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = logs + "/session-" + stamp + "-" + std::to_string(::getpid());
        if (attempt > 0)
            name += "-" + std::to_string(attempt);
        name += ".html";
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            path_ = name;
            WriteAll("<!DOCTYPE html>\r\n<meta charset=\"utf-8\">\r\n"
                     "<title>Zelkova User Client session log</title>\r\n");
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    error_ = logs + ": " + std::strerror(errno);
    return false;
}

void SessionLog::Append(const std::string& fragment, bool isHeader) {
    if (fd_ < 0)
        return;
    if (isHeader && fragment.compare(0, kLogHeader.size(), kLogHeader) == 0) {
        if (wroteHeader_) {
            // The file keeps what came before; it only notes where the window was cleared.
            WriteAll("<hr><i>The log window was cleared here.</i><br>\r\n");
            WriteAll(fragment.substr(kLogHeader.size()));
            return;
        }
        wroteHeader_ = true;
    }
    WriteAll(fragment);
}

void SessionLog::WriteAll(const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = path_ + ": " + std::strerror(errno);
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void SessionLog::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace zkv
