#include "tests/support/Process.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zkv::test {

ChildProcess::~ChildProcess() {
    if (pid_ > 0)
        Stop();
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::filesystem::path& stdoutFile,
                         const std::filesystem::path& stderrFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        pid_ = -1;
    return rc == 0;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::Stop() {
    if (pid_ <= 0)
        return -1;
    ::kill(pid_, SIGTERM);
    int rc = Wait(std::chrono::seconds(5));
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    return rc;
}

std::string WaitForLine(const std::filesystem::path& file, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(file);
        std::string line;
        if (in && std::getline(in, line) && !in.eof())
            return line;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

} // namespace zkv::test
