#include "platform/Spawn.h"

#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace zkv {

SpawnResult SpawnDetached(const std::vector<std::string>& argv) {
    return SpawnDetached(argv, environ);
}

SpawnResult SpawnDetached(const std::vector<std::string>& argv, char* const* envp) {
    SpawnResult r;
    if (argv.empty() || argv[0].empty()) {
        r.error = "no program";
        return r;
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    const int rc = argv[0].find('/') == std::string::npos
                       ? posix_spawnp(&r.pid, argv[0].c_str(), &actions, &attr, args.data(), envp)
                       : posix_spawn(&r.pid, argv[0].c_str(), &actions, &attr, args.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        r.error = std::strerror(rc);
        r.pid = -1;
        return r;
    }
    r.started = true;
    return r;
}

int WaitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace zkv
