#include "tests/app/ui/RealServers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zkv::test {

namespace fs = std::filesystem;

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

bool WaitForPort(int port, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/zkv-ui-test-XXXXXX";
    if (mkdtemp(tmpl))
        path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty())
        fs::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& text) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logPath,
                         const std::vector<std::string>& env) {
    Stop();
    log_ = logPath;
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        const int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        ::setpgid(0, 0);
        for (const auto& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    return true;
}

bool ChildProcess::Running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::Stop() {
    if (pid_ <= 0)
        return;
    // The child leads its own process group; servers that fork helpers go with it.
    ::kill(-pid_, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool RealProxy::Need(const std::string& program) {
    if (::access(program.c_str(), X_OK) == 0)
        return true;
    error_ = program + " is missing: run scripts/install-deps";
    return false;
}

bool RealProxy::Start(const std::string& user, const std::string& password, int blockedPort) {
    port_ = FreePort();
    const std::string p = std::to_string(port_);
    switch (kind_) {
    case Kind::Microsocks:
        if (!Need("/usr/bin/microsocks"))
            return false;
        if (!main_.Start(
                {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", p, "-u", user, "-P", password},
                dir_.File("microsocks.log")))
            return false;
        break;
    case Kind::Dante: {
        if (!Need("/usr/sbin/danted"))
            return false;
        std::string conf = "logoutput: " + dir_.File("danted.log") + "\n" +
                           "internal: 127.0.0.1 port = " + p + "\n" +
                           "external: 127.0.0.1\n"
                           "clientmethod: none\n"
                           "socksmethod: none\n"
                           "user.privileged: root\n"
                           "user.unprivileged: nobody\n"
                           "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
        if (blockedPort > 0)
            conf += "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 port = " +
                    std::to_string(blockedPort) + " }\n";
        conf += "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 protocol: tcp }\n"
                "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n";
        dir_.Write("danted.conf", conf);
        if (!main_.Start(
                {"/usr/sbin/danted", "-f", dir_.File("danted.conf"), "-p", dir_.File("danted.pid")},
                dir_.File("danted.out")))
            return false;
        break;
    }
    case Kind::Tinyproxy: {
        if (!Need("/usr/bin/tinyproxy"))
            return false;
        std::string conf = "Port " + p + "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\n" +
                           "Allow 127.0.0.1\nLogLevel Info\n" + "LogFile \"" +
                           dir_.File("tinyproxy.log") + "\"\nPidFile \"" +
                           dir_.File("tinyproxy.pid") + "\"\n";
        if (!user.empty())
            conf += "BasicAuth " + user + " " + password + "\n";
        dir_.Write("tinyproxy.conf", conf);
        if (!main_.Start({"/usr/bin/tinyproxy", "-d", "-c", dir_.File("tinyproxy.conf")},
                         dir_.File("tinyproxy.out")))
            return false;
        break;
    }
    case Kind::SshDynamic: {
        if (!Need("/usr/sbin/sshd") || !Need("/usr/bin/ssh") || !Need("/usr/bin/ssh-keygen"))
            return false;
        const std::string keys = dir_.Path();
        const std::string gen = "/usr/bin/ssh-keygen -q -t ed25519 -N '' -f ";
        if (std::system((gen + keys + "/hostkey >/dev/null").c_str()) != 0 ||
            std::system((gen + keys + "/userkey >/dev/null").c_str()) != 0) {
            error_ = "ssh-keygen failed";
            return false;
        }
        fs::copy_file(keys + "/userkey.pub", keys + "/authkeys");
        ::chmod((keys + "/authkeys").c_str(), 0600);
        ::mkdir("/run/sshd", 0755); // sshd's privilege separation directory
        const int sshdPort = FreePort();
        const char* me = std::getenv("USER");
        std::string conf = "ListenAddress 127.0.0.1\nPort " + std::to_string(sshdPort) +
                           "\nHostKey " + keys + "/hostkey\nAuthorizedKeysFile " + keys +
                           "/authkeys\nPermitRootLogin prohibit-password\n"
                           "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                           "UsePAM no\nStrictModes no\nAllowTcpForwarding yes\nPidFile " +
                           keys + "/sshd.pid\n";
        dir_.Write("sshd.conf", conf);
        if (!main_.Start({"/usr/sbin/sshd", "-D", "-e", "-f", dir_.File("sshd.conf")},
                         dir_.File("sshd.log")))
            return false;
        if (!WaitForPort(sshdPort, 5000)) {
            error_ = "sshd did not start: " + ReadFile(dir_.File("sshd.log"));
            return false;
        }
        const std::string login = std::string(me && *me ? me : "root") + "@127.0.0.1";
        if (!helper_.Start({"/usr/bin/ssh", "-N", "-D", "127.0.0.1:" + p, "-p",
                            std::to_string(sshdPort), "-i", keys + "/userkey", "-o",
                            "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null", "-o",
                            "BatchMode=yes", "-o", "ExitOnForwardFailure=yes", "-o",
                            "LogLevel=ERROR", login},
                           dir_.File("ssh.log")))
            return false;
        break;
    }
    }
    if (!WaitForPort(port_, 10000)) {
        error_ = "the proxy did not start listening on port " + p;
        return false;
    }
    return true;
}

} // namespace zkv::test
