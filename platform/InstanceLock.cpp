#include "platform/InstanceLock.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace zkv {

std::filesystem::path InstanceLockPath(const std::filesystem::path& dataDir) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && std::filesystem::path(runtime).is_absolute() &&
        std::filesystem::is_directory(runtime)) {
        std::error_code ec;
        std::filesystem::path key = std::filesystem::weakly_canonical(dataDir, ec);
        if (ec)
            key = std::filesystem::absolute(dataDir, ec);
        // FNV-1a: stable across builds and runs, unlike std::hash.
        std::uint64_t h = 1469598103934665603ULL;
        for (unsigned char c : key.string()) {
            h ^= c;
            h *= 1099511628211ULL;
        }
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
        return std::filesystem::path(runtime) /
               (std::string(kSingleInstanceName) + "-" + hex + ".lock");
    }
    return dataDir / (std::string(kSingleInstanceName) + ".lock");
}

InstanceLock::Result InstanceLock::Acquire(const std::filesystem::path& file) {
    Release();
    error_.clear();
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK)
            return Result::HeldElsewhere;
        error_ = std::strerror(e);
        return Result::Failed;
    }
    fd_ = fd;
    path_ = file;
    return Result::Acquired;
}

void InstanceLock::Release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

bool WaitForInstanceLockRelease(const std::filesystem::path& file, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return errno == ENOENT;
        const bool free = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        ::close(fd);
        if (free)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace zkv
