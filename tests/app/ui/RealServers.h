// Real servers for the client's tests: the proxies from Debian, started on free loopback ports
// with configurations written into a temporary directory, and stopped when the object goes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace zkv::test {

// A loopback TCP port nobody listens on right now.
int FreePort();
// True once something accepts connections on 127.0.0.1:port (polls up to `timeoutMs`).
bool WaitForPort(int port, int timeoutMs);
// A fresh directory under /tmp, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// A child process with its output in a log file; SIGTERM (then SIGKILL) when destroyed.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::vector<std::string>& argv, const std::string& logPath,
               const std::vector<std::string>& env = {});
    void Stop();
    bool Running();
    pid_t Pid() const { return pid_; }
    const std::string& Log() const { return log_; }

private:
    pid_t pid_ = -1;
    std::string log_;
};

// One proxy server of a given kind. Start() fails the test (returns false with `error`) when
// the program is missing: scripts/install-deps installs them.
class RealProxy {
public:
    enum class Kind {
        Microsocks, // SOCKS 5, user name and password required
        Dante,      // SOCKS 4 and 5 without authentication
        Tinyproxy,  // HTTP CONNECT with Basic authorisation
        SshDynamic, // OpenSSH's dynamic forwarding: SOCKS 4, 4A and 5
    };
    explicit RealProxy(Kind kind) : kind_(kind) {}
    // `user`/`password` for the kinds with authentication. `blockedPort`: Dante refuses
    // connections to this destination port (its ruleset), for refusal tests.
    bool Start(const std::string& user = "", const std::string& password = "", int blockedPort = 0);
    int Port() const { return port_; }
    const std::string& Error() const { return error_; }

private:
    bool Need(const std::string& program);

    Kind kind_;
    TempDir dir_;
    ChildProcess main_;
    ChildProcess helper_; // the ssh client of the dynamic forwarding
    int port_ = 0;
    std::string error_;
};

std::string ReadFile(const std::string& path);

} // namespace zkv::test
