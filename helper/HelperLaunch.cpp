#include "helper/HelperLaunch.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace zkv::helper {
namespace {

constexpr const char* kHelperName = "zelkova-disk-helper";
constexpr int kPasswordTimeoutMs = 120000;
constexpr int kStartTimeoutMs = 10000;

std::string OwnDir() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string path(buf, static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The program `name` in PATH (a name with a slash is taken as it is).
std::string FindInPath(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t pos = 0;
    while (pos <= dirs.size()) {
        std::size_t end = dirs.find(':', pos);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = dirs.substr(pos, end - pos);
        pos = end + 1;
        if (dir.empty() || dir[0] != '/')
            continue;
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// The helper's exit status once it has ended (within about a second), -1 when it has not.
int ExitStatus(pid_t pid) {
    for (int i = 0; pid > 0 && i < 100; ++i) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 && errno != EINTR)
            return -1;
        usleep(10000);
    }
    return -1;
}

} // namespace

std::vector<std::string> DiskHelperCommand(const HelperLaunchOptions& options, bool& viaPkexec,
                                           std::string& error) {
    const std::string dir = options.programDir.empty() ? OwnDir() : options.programDir;
    const std::string helper = dir + "/" + kHelperName;
    if (dir.empty() || access(helper.c_str(), X_OK) != 0) {
        error = "the program " + helper + " is missing";
        return {};
    }
    viaPkexec = options.hardware == "linux" && !options.root;
    if (!viaPkexec) {
        std::vector<std::string> argv{helper, "--hardware", options.hardware};
        if (!options.stateDir.empty()) {
            argv.push_back("--state-dir");
            argv.push_back(options.stateDir);
        }
        return argv;
    }
    const char* chosen = std::getenv("ZELKOVA_PKEXEC");
    const std::string pkexec = FindInPath(chosen && *chosen ? chosen : "pkexec");
    if (pkexec.empty()) {
        error = "pkexec is not installed";
        return {};
    }
    return {pkexec, helper};
}

std::unique_ptr<DiskHelperClient> StartDiskHelper(const HelperLaunchOptions& options,
                                                  std::string& error) {
    bool viaPkexec = false;
    const std::vector<std::string> argv = DiskHelperCommand(options, viaPkexec, error);
    if (argv.empty())
        return nullptr;
    // Started directly, the helper is not under pkexec whatever this process inherited.
    auto client = DiskHelperClient::Start(argv, error,
                                          viaPkexec ? std::vector<std::string>{}
                                                    : std::vector<std::string>{"PKEXEC_UID"});
    if (!client)
        return nullptr;
    const int callTimeout = client->timeoutMs;
    client->timeoutMs = viaPkexec ? kPasswordTimeoutMs : kStartTimeoutMs;
    std::string why;
    if (client->Hello(why)) {
        client->timeoutMs = callTimeout;
        return client;
    }
    client->Close();
    const int status = ExitStatus(client->Pid());
    if (viaPkexec && status == 126)
        error = "the authorisation was dismissed";
    else if (viaPkexec && status == 127)
        error = "the authorisation was refused";
    else if (status >= 0)
        error = "the disk helper ended with status " + std::to_string(status) + " (" + why + ")";
    else
        error = "the disk helper did not answer (" + why + ")";
    return nullptr;
}

} // namespace zkv::helper
