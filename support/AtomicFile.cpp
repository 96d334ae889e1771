#include "support/AtomicFile.h"
#include "support/DataFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace zkv {

namespace {
bool Fail(std::string* error, const std::string& what) {
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

std::string RandomSuffix() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string s;
    for (int i = 0; i < 10; ++i)
        s += kDigits[rng() % (sizeof kDigits - 1)];
    return s;
}
} // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode,
                         std::string* error) {
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
    std::filesystem::path tmp;
    int fd = -1;
    // O_EXCL: never write through a file (or link) someone else placed under the temporary name.
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = dir / ("." + path.filename().string() + ".tmp-" + RandomSuffix());
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            return Fail(error, "cannot create " + tmp.string());
    }
    if (fd < 0)
        return Fail(error, "cannot create a temporary file in " + dir.string());
    // The umask may have narrowed the mode; the file gets exactly what was asked for.
    bool ok = ::fchmod(fd, mode) == 0;
    const char* p = content.data();
    std::size_t left = content.size();
    while (ok && left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int savedErrno = errno;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        savedErrno = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        errno = savedErrno;
        return Fail(error, "cannot write " + path.string());
    }
    // Make the rename itself durable.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& content) {
    return ReadDataFile(path, content) == DataFileStatus::Read;
}

} // namespace zkv
