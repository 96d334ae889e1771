// The disk helper's crash record. While the helper holds a channel it keeps a record of it (the
// key, the kernel driver it unbound, its own pid) in a directory only its user can write:
// HELPER_STATE_DIR when it runs as root. The record is cleared after the give-back; one found at
// the next start whose helper no longer runs (a crash, SIGKILL) is given back first.
#pragma once

#include "platform/DeviceSetup.h"

#include <functional>
#include <string>
#include <sys/types.h>

namespace zkv::helper {

inline constexpr const char* HELPER_STATE_DIR = "/run/zelkova-disk-helper";
inline constexpr std::size_t kMaxRecordBytes = 4096;

struct CrashRecord {
    std::string key;
    std::string driver;
    pid_t pid = 0;
};

// Creates `dir` (mode 0700) when missing and checks it: a real directory (not a link), owned by
// this process's user, writable by nobody else. False with the reason.
bool PrepareStateDir(const std::string& dir, std::string& error);

// The state directory for an unprivileged run: $XDG_RUNTIME_DIR/zelkova-disk-helper, else one
// below /tmp named by the user id.
std::string UserStateDir();

class CrashRecordFile {
public:
    // The record of this process in `dir` (empty: no record is kept).
    explicit CrashRecordFile(std::string dir);
    bool Write(const std::string& key, const std::string& driver, std::string& error);
    void Clear();
    bool Enabled() const { return !path_.empty(); }

private:
    std::string path_;
};

// Reads one record: opened without following links, a regular file, at most kMaxRecordBytes.
bool ReadCrashRecord(const std::string& path, CrashRecord& record, std::string& error);

// Gives back every channel recorded in `dir` by a helper that no longer runs, through `setup`,
// and removes those records; each event is told to `log`.
void RecoverLeftChannels(const std::string& dir, IDeviceSetup& setup,
                         const std::function<void(const std::string&)>& log);

} // namespace zkv::helper
