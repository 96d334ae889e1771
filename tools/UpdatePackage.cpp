#include "tools/UpdatePackage.h"

#include "support/Version.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zkv {

namespace fs = std::filesystem;

namespace {

// The environment of every program the check runs: nothing of the caller's.
const std::vector<std::string> kToolEnvironment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                                   "LC_ALL=C"};
constexpr int kToolSeconds = 120;

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

bool PlainField(const std::string& s, bool version) {
    if (s.empty() || s.size() > 128 || (version && !(s[0] >= '0' && s[0] <= '9')))
        return false;
    for (char c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '+' ||
                        c == '-' || (version && ((c >= 'A' && c <= 'Z') || c == '~' || c == ':'));
        if (!ok)
            return false;
    }
    return true;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool WriteAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// The primary key fingerprint of a good signature from gpgv's status lines, or the reason why
// there is none.
bool ReadGpgvStatus(const std::string& status, std::string& signer, std::string& reason) {
    std::istringstream in(status);
    std::string line;
    bool good = false;
    std::string bad;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string tag, keyword;
        words >> tag >> keyword;
        if (tag != "[GNUPG:]")
            continue;
        if (keyword == "GOODSIG") {
            good = true;
        } else if (keyword == "VALIDSIG") {
            std::vector<std::string> f;
            for (std::string w; words >> w;)
                f.push_back(w);
            // fpr date timestamp expire version reserved pkalgo hashalgo class primary-fpr
            if (signer.empty())
                signer = f.size() >= 10 ? f[9] : (f.empty() ? "" : f[0]);
        } else if (keyword == "BADSIG" || keyword == "ERRSIG" || keyword == "EXPSIG" ||
                   keyword == "EXPKEYSIG" || keyword == "REVKEYSIG" || keyword == "NODATA" ||
                   keyword == "NO_PUBKEY") {
            if (bad.empty())
                bad = keyword;
        }
    }
    if (good && bad.empty() && !signer.empty())
        return true;
    signer.clear();
    if (bad == "NO_PUBKEY" || bad == "ERRSIG")
        reason = "the package is not signed by a key of the update keyring";
    else if (bad == "BADSIG")
        reason = "the signature does not match the package (altered package)";
    else if (bad == "NODATA")
        reason = "the signature file holds no signature";
    else if (!bad.empty())
        reason = "the signing key is expired or revoked (" + bad + ")";
    else
        reason = "the signature does not verify";
    return false;
}

} // namespace

std::string UpdateVerdict::Json() const {
    return std::string("{\"ok\":") + (ok ? "true" : "false") +
           ",\"package\":" + JsonString(package) + ",\"version\":" + JsonString(version) +
           ",\"signer\":" + JsonString(signer) + ",\"reason\":" + JsonString(reason) + "}";
}

PrivateDirectory::PrivateDirectory() {
    std::string base = "/var/tmp";
    if (::geteuid() != 0) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp && tmp[0] == '/' ? tmp : "/tmp";
    }
    std::string templ = base + "/zelkova-update.XXXXXX";
    if (!::mkdtemp(templ.data())) {
        error_ = "cannot make a private directory under " + base + ": " + std::strerror(errno);
        return;
    }
    struct stat st {};
    if (::lstat(templ.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        error_ = "the private directory " + templ + " is not private";
        ::rmdir(templ.c_str());
        return;
    }
    path_ = templ;
}

PrivateDirectory::~PrivateDirectory() {
    if (!path_.empty()) {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

std::string CopyRegularFile(const fs::path& from, const fs::path& to, std::size_t maxBytes) {
    Fd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (in.fd < 0) {
        const int e = errno;
        if (e == ELOOP)
            return from.string() + " is a symbolic link";
        return "cannot open " + from.string() + ": " + std::strerror(e);
    }
    struct stat st {};
    if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return from.string() + " is not a regular file";
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        return from.string() + " is larger than " + std::to_string(maxBytes) + " bytes";
    Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return "cannot write " + to.string() + ": " + std::strerror(errno);
    std::vector<char> buf(1 << 16);
    std::size_t total = 0;
    for (;;) {
        const ssize_t n = ::read(in.fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return "cannot read " + from.string() + ": " + std::strerror(errno);
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
        if (total > maxBytes) // grew while being copied
            return from.string() + " is larger than " + std::to_string(maxBytes) + " bytes";
        if (!WriteAll(out.fd, buf.data(), static_cast<std::size_t>(n)))
            return "cannot write " + to.string() + ": " + std::strerror(errno);
    }
    if (::fsync(out.fd) != 0)
        return "cannot write " + to.string() + ": " + std::strerror(errno);
    return {};
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               int timeoutSeconds, std::string* output, std::size_t maxOutput, bool inheritOutput,
               std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return -1;
    };
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/')
        return fail("no absolute program path");
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int pipefd[2] = {-1, -1};
    if (!inheritOutput && ::pipe2(pipefd, O_CLOEXEC) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (!inheritOutput) {
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    // A group of its own, so that a time-out ends whatever it started too.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (!inheritOutput)
        ::close(pipefd[1]);
    if (rc != 0) {
        if (!inheritOutput)
            ::close(pipefd[0]);
        return fail("cannot start " + argv[0] + ": " + std::strerror(rc));
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    auto msLeft = [&] {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    };
    std::string out, why;
    if (!inheritOutput) {
        char buf[4096];
        for (;;) {
            const int left = msLeft();
            if (left <= 0) {
                why = argv[0] + " ran longer than " + std::to_string(timeoutSeconds) + " s";
                break;
            }
            pollfd p{pipefd[0], POLLIN, 0};
            const int r = ::poll(&p, 1, left);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                continue;
            const ssize_t n = ::read(pipefd[0], buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (out.size() + static_cast<std::size_t>(n) > maxOutput) {
                why = argv[0] + " wrote more than " + std::to_string(maxOutput) + " bytes";
                break;
            }
            out.append(buf, static_cast<std::size_t>(n));
        }
        ::close(pipefd[0]);
    }
    int status = 0;
    while (why.empty()) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        if (w < 0 && errno != EINTR) {
            why = "lost " + argv[0];
            break;
        }
        if (msLeft() <= 0)
            why = argv[0] + " ran longer than " + std::to_string(timeoutSeconds) + " s";
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!why.empty()) {
        // Too long, too much output: the program and whatever it started end here.
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return fail(why);
    }
    if (output)
        *output = std::move(out);
    if (!WIFEXITED(status))
        return fail(argv[0] + " did not end normally");
    return WEXITSTATUS(status);
}

UpdateVerdict CheckUpdatePackage(const fs::path& package, const UpdateCheckOptions& options,
                                 const fs::path& work) {
    UpdateVerdict v;
    auto refuse = [&](std::string reason) {
        v.ok = false;
        v.reason = std::move(reason);
        return v;
    };
    if (package.extension() != ".deb")
        return refuse(package.string() + " is not a .deb package");
    if (options.keyring.empty())
        return refuse(kUpdCannotVerify);
    const fs::path copy = work / "package.deb";
    const fs::path sigCopy = work / "package.deb.sig";
    const fs::path keyring = work / "trusted.gpg";
    if (auto e = CopyRegularFile(package, copy, options.maxPackageBytes); !e.empty())
        return refuse(e);
    const fs::path sig = package.string() + kSignatureSuffix;
    if (auto e = CopyRegularFile(sig, sigCopy, kMaxSignatureBytes); !e.empty())
        return refuse("no usable signature: " + e);
    if (auto e = CopyRegularFile(options.keyring, keyring, kMaxKeyringBytes); !e.empty())
        return refuse("no usable update keyring: " + e);
    const fs::path home = work / "gnupg";
    if (::mkdir(home.c_str(), 0700) != 0)
        return refuse("cannot make " + home.string() + ": " + std::strerror(errno));

    std::string status, error;
    const int g =
        RunProgram({"/usr/bin/gpgv", "--homedir", home.string(), "--keyring", keyring.string(),
                    "--status-fd", "1", sigCopy.string(), copy.string()},
                   kToolEnvironment, kToolSeconds, &status, 256 * 1024, false, &error);
    if (g < 0)
        return refuse("the signature cannot be checked: " + error);
    std::string signer, reason;
    if (!ReadGpgvStatus(status, signer, reason) || g != 0)
        return refuse(reason.empty() ? "the signature does not verify" : reason);
    v.signer = signer;

    std::string fields;
    const int d = RunProgram(
        {"/usr/bin/dpkg-deb", "--show", "--showformat=${Package}\\n${Version}\\n", copy.string()},
        kToolEnvironment, kToolSeconds, &fields, 4096, false, &error);
    std::istringstream lines(fields);
    std::string name, version;
    std::getline(lines, name);
    std::getline(lines, version);
    if (d != 0 || !PlainField(name, false) || !PlainField(version, true))
        return refuse("the package's name and version cannot be read");
    v.package = name;
    v.version = version;
    if (name != options.packageName)
        return refuse("the package is " + name + ", not " + options.packageName);
    const int c =
        RunProgram({"/usr/bin/dpkg", "--compare-versions", version, "gt", options.builtVersion},
                   kToolEnvironment, kToolSeconds, nullptr, 4096, false, &error);
    if (c == 1)
        return refuse("version " + version + " is not newer than " + options.builtVersion);
    if (c != 0)
        return refuse("the versions cannot be compared");
    v.ok = true;
    return v;
}

std::optional<fs::path> ShippedUpdateKeyring(const fs::path& programDir) {
    const fs::path p =
        programDir.parent_path() / "share" / "zelkova-user-client" / kUpdateKeyringFileName;
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return p;
}

std::string BuiltPackageVersion() {
    return kProgramVersionText;
}

} // namespace zkv
