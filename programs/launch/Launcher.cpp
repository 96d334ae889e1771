#include "programs/launch/Launcher.h"

#include "support/Version.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zkv::launch {

namespace {

constexpr std::size_t kMaxValue = 4096;
constexpr int kMaxDepth = 16;
constexpr const char* kPkexec = "/usr/bin/pkexec";
constexpr const char* kClientName = "zelkova-user-client";

const char* const kUsage =
    "Usage: zelkova-user-client-launch [--help | --version]\n"
    "\n"
    "Starts the Zelkova User Client with the rights its work on the disk needs: asks for\n"
    "them through pkexec (the polkit action example.zelkova.user-client.run), and runs the\n"
    "client with the user's display and the user's data directory,\n"
    "$XDG_CONFIG_HOME/zelkova-user-client (default ~/.config/zelkova-user-client).\n"
    "Files the client writes there stay the user's. The desktop menu entry runs this\n"
    "program; started by root it runs the client directly.\n"
    "\n"
    "  --help       show this text\n"
    "  --version    show the program version\n"
    "\n"
    "Exit status: the client's, 126 or 127 when pkexec refused or was dismissed, 1 when\n"
    "the client could not be started, 2 on a usage error.\n";

bool IsPassed(const std::string& name) {
    for (const char* v : kPassedVariables)
        if (name == v)
            return true;
    return false;
}

bool IsPathVariable(const std::string& name) {
    return name == "XAUTHORITY" || name == "XDG_RUNTIME_DIR";
}

Environment CurrentEnvironment() {
    Environment env;
    for (char** e = environ; e && *e; ++e) {
        const std::string s(*e);
        const auto eq = s.find('=');
        if (eq != std::string::npos)
            env.emplace(s.substr(0, eq), s.substr(eq + 1));
    }
    return env;
}

std::string Lookup(const Environment& env, const std::string& name) {
    const auto it = env.find(name);
    return it == env.end() ? std::string() : it->second;
}

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

void ChangeTree(int dirFd, uid_t from, uid_t uid, gid_t gid, int depth, OwnershipPass& pass) {
    DIR* d = ::fdopendir(dirFd); // takes the descriptor
    if (!d) {
        ::close(dirFd);
        ++pass.failed;
        return;
    }
    while (const dirent* e = ::readdir(d)) {
        const char* name = e->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, ".."))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ++pass.failed;
            continue;
        }
        const bool isDir = S_ISDIR(st.st_mode);
        const bool sharedFile = S_ISREG(st.st_mode) && st.st_nlink > 1;
        if (st.st_uid == from && !sharedFile) {
            if (::fchownat(dirFd, name, uid, gid, AT_SYMLINK_NOFOLLOW) == 0)
                ++pass.changed;
            else
                ++pass.failed;
        }
        if (isDir) {
            if (depth >= kMaxDepth) {
                ++pass.failed;
                continue;
            }
            const int sub = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                ++pass.failed;
                continue;
            }
            ChangeTree(sub, from, uid, gid, depth + 1, pass);
        }
    }
    ::closedir(d);
}

int ExitCode(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// The root side: the client runs as a child; signals that end a session are handed on to it.
int Supervise(const std::string& client, const RootRequest& request, uid_t uid, std::ostream& err) {
    const passwd* pw = ::getpwuid(uid);
    const gid_t gid = pw ? pw->pw_gid : static_cast<gid_t>(-1);
    const uid_t self = ::geteuid();
    // Started through pkexec by root itself: the files are root's and stay so.
    const bool giveBack = uid != self;
    if (giveBack)
        ReturnOwnership(request.dataDir, self, uid, gid);

    // The child's end must stay visible to waitpid even when the starter ignored SIGCHLD.
    std::signal(SIGCHLD, SIG_DFL);
    sigset_t set, old;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, &old);

    std::vector<std::string> args = {client, "--data-dir", request.dataDir};
    const pid_t child = ::fork();
    if (child < 0) {
        err << "zelkova-user-client-launch: cannot start the client: " << std::strerror(errno)
            << "\n";
        return 1;
    }
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        for (const auto& [name, value] : request.passed)
            ::setenv(name.c_str(), value.c_str(), 1);
        // A Wayland session without X: Qt would otherwise look for an X display only.
        if (request.passed.count("WAYLAND_DISPLAY") && !request.passed.count("DISPLAY"))
            ::setenv("QT_QPA_PLATFORM", "wayland", 1);
        auto argv = Argv(args);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "zelkova-user-client-launch: cannot run %s: %s\n", argv[0],
                     std::strerror(errno));
        ::_exit(1);
    }

    int status = 0;
    for (;;) {
        const timespec second{1, 0};
        const int sig = ::sigtimedwait(&set, nullptr, &second);
        if (sig == SIGTERM || sig == SIGINT || sig == SIGHUP) {
            ::kill(child, sig);
            continue;
        }
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (done < 0 && errno != EINTR) {
            status = 1 << 8;
            break;
        }
        // Still running: the files written since the last pass become the user's now.
        if (giveBack)
            ReturnOwnership(request.dataDir, self, uid, gid);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (giveBack)
        ReturnOwnership(request.dataDir, self, uid, gid);
    return ExitCode(status);
}

int RunClientDirectly(const std::string& client, const std::string& dataDir) {
    std::vector<std::string> args = {client, "--data-dir", dataDir};
    auto argv = Argv(args);
    ::execv(argv[0], argv.data());
    std::fprintf(stderr, "zelkova-user-client-launch: cannot run %s: %s\n", argv[0],
                 std::strerror(errno));
    return 1;
}

int RootSide(const std::vector<std::string>& args, const std::string& client, std::ostream& err) {
    if (::geteuid() != 0) {
        err << "zelkova-user-client-launch: --root is the side pkexec starts; it needs root\n";
        return 1;
    }
    const char* pkexecUid = std::getenv("PKEXEC_UID");
    char* end = nullptr;
    const unsigned long uidValue = pkexecUid ? std::strtoul(pkexecUid, &end, 10) : 0;
    if (!pkexecUid || !*pkexecUid || *end || uidValue > 0xFFFFFFFEul) {
        err << "zelkova-user-client-launch: --root needs PKEXEC_UID (it is started through "
               "pkexec)\n";
        return 1;
    }
    const auto uid = static_cast<uid_t>(uidValue);
    RootRequest request;
    std::string error;
    if (!ParseRootRequest(args, uid, request, error)) {
        err << "zelkova-user-client-launch: " << error << "\n";
        return 2;
    }
    return Supervise(client, request, uid, err);
}

} // namespace

std::string UserDataDirectory(const Environment& env) {
    const std::string xdg = Lookup(env, "XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg.front() == '/')
        return (std::filesystem::path(xdg) / kClientName).string();
    const std::string home = Lookup(env, "HOME");
    if (!home.empty() && home.front() == '/')
        return (std::filesystem::path(home) / ".config" / kClientName).string();
    return {};
}

std::vector<std::string> PkexecCommand(const std::string& pkexec, const std::string& self,
                                       const std::string& dataDir, const Environment& env) {
    std::vector<std::string> cmd = {pkexec, self, "--root", "--data-dir", dataDir};
    Environment passed;
    for (const char* name : kPassedVariables)
        if (const std::string v = Lookup(env, name); !v.empty())
            passed[name] = v;
    // X sessions that leave XAUTHORITY unset keep the cookie in the user's ~/.Xauthority,
    // which root would not look for.
    const std::string home = Lookup(env, "HOME");
    if (passed.count("DISPLAY") && !passed.count("XAUTHORITY") && !home.empty() &&
        home.front() == '/')
        passed["XAUTHORITY"] = (std::filesystem::path(home) / ".Xauthority").string();
    for (const char* name : kPassedVariables) {
        const auto it = passed.find(name);
        if (it != passed.end()) {
            cmd.push_back("--env");
            cmd.push_back(std::string(name) + "=" + it->second);
        }
    }
    return cmd;
}

bool ParseRootRequest(const std::vector<std::string>& args, uid_t uid, RootRequest& request,
                      std::string& error) {
    request = {};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size() || (a != "--data-dir" && a != "--env")) {
            error = "unexpected argument " + a;
            return false;
        }
        const std::string& value = args[++i];
        if (value.size() > kMaxValue) {
            error = a + " value too long";
            return false;
        }
        if (a == "--data-dir") {
            if (!request.dataDir.empty()) {
                error = "--data-dir given twice";
                return false;
            }
            request.dataDir = value;
            continue;
        }
        const auto eq = value.find('=');
        const std::string name = value.substr(0, eq);
        if (eq == std::string::npos || !IsPassed(name) || request.passed.count(name)) {
            error = "--env takes each of DISPLAY, XAUTHORITY, WAYLAND_DISPLAY, "
                    "XDG_RUNTIME_DIR once, as NAME=VALUE";
            return false;
        }
        const std::string v = value.substr(eq + 1);
        if (IsPathVariable(name) && (v.empty() || v.front() != '/')) {
            error = name + " must be an absolute path";
            return false;
        }
        request.passed.emplace(name, v);
    }
    if (request.dataDir.empty() || request.dataDir.front() != '/') {
        error = "--data-dir needs an absolute path";
        return false;
    }
    struct stat st {};
    if (::lstat(request.dataDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "the data directory " + request.dataDir + " is not a directory";
        return false;
    }
    if (st.st_uid != uid) {
        error = "the data directory " + request.dataDir + " does not belong to user " +
                std::to_string(uid);
        return false;
    }
    return true;
}

OwnershipPass ReturnOwnership(const std::string& dir, uid_t from, uid_t uid, gid_t gid) {
    OwnershipPass pass;
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ++pass.failed;
        return pass;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == from) {
        if (::fchown(fd, uid, gid) == 0)
            ++pass.changed;
        else
            ++pass.failed;
    }
    ChangeTree(fd, from, uid, gid, 0, pass);
    return pass;
}

int Run(const std::vector<std::string>& args, const std::string& self, std::ostream& out,
        std::ostream& err) {
    const std::string client = (std::filesystem::path(self).parent_path() / kClientName).string();
    if (!args.empty() && args[0] == "--root")
        return RootSide({args.begin() + 1, args.end()}, client, err);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << kUsage;
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        out << "zelkova-user-client-launch " << kProgramVersionText << "\n";
        return 0;
    }
    if (!args.empty()) {
        err << "zelkova-user-client-launch: unexpected argument " << args[0] << "\n"
            << "Try 'zelkova-user-client-launch --help'.\n";
        return 2;
    }

    const std::string dataDir = UserDataDirectory(CurrentEnvironment());
    if (dataDir.empty()) {
        err << "zelkova-user-client-launch: neither XDG_CONFIG_HOME nor HOME is an absolute "
               "path\n";
        return 1;
    }
    // Made here, by the user, so that the directory is the user's.
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (ec) {
        err << "zelkova-user-client-launch: cannot create " << dataDir << ": " << ec.message()
            << "\n";
        return 1;
    }
    ::chmod(dataDir.c_str(), 0700);
    if (::geteuid() == 0)
        return RunClientDirectly(client, dataDir);

    auto cmd = PkexecCommand(kPkexec, self, dataDir, CurrentEnvironment());
    auto argv = Argv(cmd);
    out.flush();
    ::execv(argv[0], argv.data());
    err << "zelkova-user-client-launch: cannot run " << kPkexec << ": " << std::strerror(errno)
        << "\n";
    return 127;
}

} // namespace zkv::launch
