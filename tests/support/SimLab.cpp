#include "tests/support/SimLab.h"

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zkv::test {

SimLab::SimLab(std::string_view json) : file(dir.Path() / "hw.json") {
    std::ofstream(file) << json;
}

const char* const kPassThroughLab = R"({"channels": [
        {"command_block": 496, "control_block": 1014, "master": {"type": "disk"}},
        {"command_block": 4096, "control_block": 4106, "pass_through": true,
         "master": {"type": "disk", "model": "PASS THROUGH DISK", "sectors": 100000}}],
      "controllers": [{"address": "0000:00:01.1", "channels": [0, -1]},
                      {"kind": "ahci", "address": "0000:00:1f.2", "channels": [1]},
                      {"kind": "ahci", "address": "0000:00:1f.3", "channels": [1],
                       "in_use": true}]})";

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int WaitExit(pid_t pid, int ms) {
    for (int i = 0; i < ms / 10; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

KilledClient::KilledClient(const std::function<void(const Report& report)>& client) {
    subreaper_ = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    int ready[2];
    if (!subreaper_ || pipe(ready) != 0)
        return;
    clientPid_ = fork();
    if (clientPid_ == 0) {
        close(ready[0]);
        client([&](pid_t helperPid) {
            [[maybe_unused]] auto k = write(ready[1], &helperPid, sizeof helperPid);
            for (;;)
                pause();
        });
        const pid_t none = -1;
        [[maybe_unused]] auto k = write(ready[1], &none, sizeof none);
        _exit(1);
    }
    close(ready[1]);
    pid_t got = -1;
    if (clientPid_ > 0 && read(ready[0], &got, sizeof got) == static_cast<ssize_t>(sizeof got))
        helperPid_ = got;
    close(ready[0]);
}

int KilledClient::Kill(int helperMs) {
    if (clientPid_ > 0) {
        kill(clientPid_, SIGKILL);
        waitpid(clientPid_, nullptr, 0);
        clientPid_ = -1;
    }
    return helperPid_ > 0 ? WaitExit(helperPid_, helperMs) : -1;
}

KilledClient::~KilledClient() {
    Kill(0);
    if (subreaper_)
        prctl(PR_SET_CHILD_SUBREAPER, 0);
}

} // namespace zkv::test
