// What the disk helper's tests share: a simulated lab in a temporary folder, reading a file
// whole, waiting for a process, and a client that is killed while the helper holds a channel.
#pragma once

#include "tests/support/ClientHarness.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zkv::test {

// A simulated lab: its hardware description, `json`, in hw.json of a fresh temporary folder.
struct SimLab {
    explicit SimLab(std::string_view json);
    // The hardware option that names it.
    std::string Hardware() const { return "sim:" + file.string(); }

    TempDir dir;
    std::filesystem::path file;
};

// A lab of one IDE channel and two pass-through hosts behind one disk, the second host's disk
// in use.
extern const char* const kPassThroughLab;

// The whole content of a file (empty when it cannot be read).
std::string ReadAll(const std::filesystem::path& p);

// Waits for the child `pid` to exit, at most `ms`; its exit code, or -1 when it did not exit in
// time or normally.
int WaitExit(pid_t pid, int ms);

// A client, in a child process, that takes a channel through a helper of its own and is then
// killed: the helper outlives it and comes to this process (a subreaper meanwhile) to be waited
// for.
class KilledClient {
public:
    // Runs `client` in the child; it calls its `report` with the helper's process id once the
    // channel is taken (report does not return then: the child waits to be killed), or does not
    // call it at all when something failed.
    using Report = std::function<void(pid_t helperPid)>;
    explicit KilledClient(const std::function<void(const Report& report)>& client);
    ~KilledClient();
    KilledClient(const KilledClient&) = delete;
    KilledClient& operator=(const KilledClient&) = delete;

    // The helper's process id, -1 when the child could not take the channel.
    pid_t HelperPid() const { return helperPid_; }
    // Kills the child; then waits for the helper as WaitExit does.
    int Kill(int helperMs);

private:
    pid_t clientPid_ = -1;
    pid_t helperPid_ = -1;
    bool subreaper_ = false;
};

} // namespace zkv::test
