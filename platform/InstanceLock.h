// One running client per data directory: an exclusive flock(2) on a lock file.
//
// The file is named after the single-instance name "QuillonZelkovaUserClientMutex" and lies in
// $XDG_RUNTIME_DIR (with a hash of the data directory in its name, so two data directories are
// two instances) or, without a runtime directory, in the data directory itself. The lock goes
// with the process: closing the descriptor, exiting or crashing releases it, and the descriptor
// is not inherited by programs the client starts (the installer waits for its release).
#pragma once

#include <filesystem>
#include <string>

namespace zkv {

inline constexpr const char* kSingleInstanceName = "QuillonZelkovaUserClientMutex";

// The lock file for `dataDir`.
std::filesystem::path InstanceLockPath(const std::filesystem::path& dataDir);

class InstanceLock {
public:
    enum class Result { Acquired, HeldElsewhere, Failed };

    InstanceLock() = default;
    ~InstanceLock() { Release(); }
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Creates the file when missing and takes the lock without waiting.
    Result Acquire(const std::filesystem::path& file);
    void Release();
    bool Held() const { return fd_ >= 0; }
    const std::filesystem::path& Path() const { return path_; }
    const std::string& Error() const { return error_; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
    std::string error_;
};

// Waits until nobody holds the lock on `file` (a missing file counts as free), polling every
// 100 ms for at most `timeoutMs`. True when it was free.
bool WaitForInstanceLockRelease(const std::filesystem::path& file, int timeoutMs);

} // namespace zkv
