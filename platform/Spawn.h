// Starting another program without a shell: argv goes to execve as it is, the child gets its own
// session (and so its own process group), and no descriptor beyond standard input, output and
// error is inherited.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace zkv {

struct SpawnResult {
    bool started = false;
    pid_t pid = -1;
    std::string error;
};

// argv[0] is the program: a path, or a name looked up in PATH when it holds no slash.
SpawnResult SpawnDetached(const std::vector<std::string>& argv);
// The same with the environment `envp` (a list ending in a null pointer) in place of this
// process's.
SpawnResult SpawnDetached(const std::vector<std::string>& argv, char* const* envp);

// Waits for a child started by SpawnDetached; its exit status, or -1 when it did not exit
// normally.
int WaitForChild(pid_t pid);

} // namespace zkv
