// A child program for integration tests, with its standard output captured in a file.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zkv::test {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess(); // stops the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `args`; standard output goes to `stdoutFile`, standard error to
    // `stderrFile`.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile);
    // SIGTERM, then waits; returns the exit status (or -1).
    int Stop();
    // Waits for the child to end on its own; -1 on time-out.
    int Wait(std::chrono::milliseconds timeout);
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Waits until `file` exists with a complete line in it, and returns that line.
std::string WaitForLine(const std::filesystem::path& file, std::chrono::milliseconds timeout);

// The lines of a text file.
std::vector<std::string> ReadLines(const std::filesystem::path& file);

} // namespace zkv::test
