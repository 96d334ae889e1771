#include "helper/HelperState.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zkv::helper {
namespace {

constexpr const char* kPrefix = "held-";

bool ValidField(const std::string& s) {
    for (char c : s)
        if (c == '\n' || c == '\0')
            return false;
    return !s.empty() && s.size() <= 255;
}

// True when `pid` is a running disk helper (a pid reused by another program is not).
bool HelperRunning(pid_t pid) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM))
        return false;
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    const int fd = open(comm.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true; // cannot tell: keep the record rather than give a held channel back
    char buf[32] = {};
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    return n > 0 && std::strncmp(buf, "zelkova-disk-he", 15) == 0;
}

} // namespace

bool PrepareStateDir(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022) != 0) {
        error = dir + " is not a directory only this user can write";
        return false;
    }
    return true;
}

std::string UserStateDir() {
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && run[0] == '/')
        return std::string(run) + "/zelkova-disk-helper";
    return "/tmp/zelkova-disk-helper-" + std::to_string(geteuid());
}

CrashRecordFile::CrashRecordFile(std::string dir) {
    if (!dir.empty())
        path_ = dir + "/" + kPrefix + std::to_string(getpid());
}

bool CrashRecordFile::Write(const std::string& key, const std::string& driver, std::string& error) {
    if (path_.empty())
        return true;
    if (!ValidField(key) || driver.find('\n') != std::string::npos || driver.size() > 255) {
        error = "the channel cannot be recorded";
        return false;
    }
    const std::string text =
        "key " + key + "\ndriver " + driver + "\npid " + std::to_string(getpid()) + "\n";
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path_ + ": " + std::strerror(errno);
        return false;
    }
    const bool ok =
        write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    close(fd);
    if (!ok)
        error = path_ + ": the record could not be written";
    return ok;
}

void CrashRecordFile::Clear() {
    if (!path_.empty())
        unlink(path_.c_str());
}

bool ReadCrashRecord(const std::string& path, CrashRecord& record, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > static_cast<off_t>(kMaxRecordBytes)) {
        close(fd);
        error = "not a regular file within the size bound";
        return false;
    }
    std::string text(kMaxRecordBytes, '\0');
    const ssize_t n = read(fd, text.data(), text.size());
    close(fd);
    if (n <= 0) {
        error = "empty";
        return false;
    }
    text.resize(static_cast<std::size_t>(n));
    record = {};
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t sp = line.find(' ');
        const std::string name = line.substr(0, sp);
        const std::string value = sp == std::string::npos ? std::string() : line.substr(sp + 1);
        if (name == "key")
            record.key = value;
        else if (name == "driver")
            record.driver = value;
        else if (name == "pid")
            record.pid = static_cast<pid_t>(std::strtol(value.c_str(), nullptr, 10));
    }
    if (!ValidField(record.key) || record.pid <= 0) {
        error = "malformed";
        return false;
    }
    return true;
}

void RecoverLeftChannels(const std::string& dir, IDeviceSetup& setup,
                         const std::function<void(const std::string&)>& log) {
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (std::strncmp(e->d_name, kPrefix, std::strlen(kPrefix)) == 0)
            names.emplace_back(e->d_name);
    closedir(d);
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        CrashRecord r;
        std::string error;
        if (!ReadCrashRecord(path, r, error)) {
            log("Removed the unreadable record " + path + ": " + error);
            unlink(path.c_str());
            continue;
        }
        if (HelperRunning(r.pid))
            continue; // another helper's channel, still held
        const DeviceChange c = setup.Enable(r.key, r.driver);
        if (c.ok || c.restartNeeded) {
            log("Gave back channel " + r.key + " left taken by helper " + std::to_string(r.pid) +
                ", which ended without giving it back");
            unlink(path.c_str());
        } else {
            log("Could not give back channel " + r.key + " left taken by helper " +
                std::to_string(r.pid) + ": " + c.error);
        }
    }
}

} // namespace zkv::helper
