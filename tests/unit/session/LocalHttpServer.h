// A real HTTP server on loopback for the version-check tests: Debian's python3 running
// http_server.py over a directory of files. Stopped when the object goes.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace zkv::test {

class LocalHttpServer {
public:
    // `script` is http_server.py; `root` the directory it serves (created when missing). With
    // `cert` and `key` (PEM files) it speaks https.
    LocalHttpServer(const std::string& script, std::filesystem::path root,
                    const std::string& cert = {}, const std::string& key = {})
        : root_(std::move(root)), scheme_(cert.empty() ? "http" : "https") {
        std::filesystem::create_directories(root_);
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        const std::string rootText = root_.string();
        const char* argv[] = {"/usr/bin/python3", script.c_str(),
                              rootText.c_str(),   cert.empty() ? nullptr : cert.c_str(),
                              key.c_str(),        nullptr};
        if (posix_spawn(&pid_, argv[0], &fa, nullptr, const_cast<char**>(argv), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        std::string line;
        char c;
        while (pid_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(fds[0]);
        port_ = line.empty() ? 0 : std::stoi(line);
    }
    ~LocalHttpServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& name) const {
        return scheme_ + "://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }
    void Serve(const std::string& name, const std::string& content) const {
        std::ofstream(root_ / name, std::ios::binary) << content;
    }
    // Every request path so far, one a line.
    std::string Requests() const {
        std::ifstream f(root_ / "requests.log");
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

private:
    std::filesystem::path root_;
    std::string scheme_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace zkv::test
