#include "support/DataFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace zkv {

namespace {

std::mutex& LogMutex() {
    static std::mutex m;
    return m;
}

DataFileLog& Sink() {
    static DataFileLog sink;
    return sink;
}

void LogRefusal(const std::filesystem::path& path, const std::string& why) {
    const std::string line = "Ignoring " + path.string() + ": " + why;
    std::lock_guard g(LogMutex());
    if (Sink())
        Sink()(line);
    else
        std::cerr << "zelkova: " << line << "\n";
}

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

DataFileStatus Refuse(const std::filesystem::path& path, std::string& content, std::string* why,
                      const std::string& reason) {
    content.clear();
    if (why)
        *why = reason;
    LogRefusal(path, reason);
    return DataFileStatus::Refused;
}

} // namespace

DataFileLog SetDataFileLog(DataFileLog sink) {
    std::lock_guard g(LogMutex());
    DataFileLog old = std::move(Sink());
    Sink() = std::move(sink);
    return old;
}

DataFileStatus ReadDataFile(const std::filesystem::path& path, std::string& content,
                            std::size_t maxBytes, std::string* why) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT)
            return DataFileStatus::Absent;
        if (e == ELOOP)
            return Refuse(path, content, why, "a symbolic link");
        return Refuse(path, content, why, std::strerror(e));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        return Refuse(path, content, why, std::strerror(e));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return Refuse(path, content, why, KindOf(st.st_mode));
    }
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return Refuse(path, content, why, "larger than " + std::to_string(maxBytes) + " bytes");
    }
    // The size may change while reading: never more than the bound is kept.
    content.reserve(static_cast<std::size_t>(st.st_size));
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            return Refuse(path, content, why, std::strerror(e));
        }
        if (n == 0)
            break;
        if (content.size() + static_cast<std::size_t>(n) > maxBytes) {
            ::close(fd);
            return Refuse(path, content, why, "larger than " + std::to_string(maxBytes) + " bytes");
        }
        content.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return DataFileStatus::Read;
}

} // namespace zkv
