// zelkova-update: installs a newer client package that the service signed.
//
//   zelkova-update PACKAGE                     (root, through pkexec) check and install
//   zelkova-update [--keyring FILE] --check PACKAGE
//                                              the verdict as one line of JSON
//   zelkova-update [--wait SECONDS] LOCK "PACKAGE OPTIONS" [CLIENT [ARG...]]
//                                              the user's side of the hand-over
//
// The client starts the user's side after it downloaded and checked a package: it waits until
// the client has ended (LOCK is its single-instance lock), asks pkexec to run this program as
// root with the package's path as its one argument, and starts the client again as the user,
// whether the installation succeeded or not.
//
// As root the program trusts nothing it is handed: it copies the package and its signature into
// a directory only root can write, verifies the copy against the keyring shipped in the package,
// requires the client's package name and a version newer than its own, and installs that copy
// with apt-get. Run through pkexec (PKEXEC_UID set), it takes no option that names a file to
// trust or a program to run, and it never starts the client.
#include "platform/InstanceLock.h"
#include "platform/Spawn.h"
#include "tools/UpdateHandOver.h"
#include "tools/UpdatePackage.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kHelp =
    "Usage: zelkova-update PACKAGE\n"
    "       zelkova-update [--keyring FILE] --check PACKAGE\n"
    "       zelkova-update [--wait SECONDS] LOCK \"PACKAGE OPTIONS\" [CLIENT [ARG...]]\n"
    "\n"
    "Installs a newer Zelkova User Client package that the service signed.\n"
    "\n"
    "  PACKAGE              as root (the client asks pkexec): check the package and its\n"
    "                       signature PACKAGE.sig, then install the checked copy with apt-get\n"
    "  --check PACKAGE      check only; prints one line of JSON with \"ok\", \"package\",\n"
    "                       \"version\", \"signer\" and \"reason\"; exit status 0 when the "
    "package\n"
    "                       would be installed, 1 when it is refused, 2 on a usage error\n"
    "  --keyring FILE       check against FILE (a binary OpenPGP keyring) instead of the\n"
    "                       keyring shipped in the package; refused through pkexec\n"
    "  LOCK \"PACKAGE OPTIONS\" [CLIENT [ARG...]]\n"
    "                       what the client starts: wait until the client has ended (LOCK is\n"
    "                       its lock file), install PACKAGE through pkexec, start CLIENT again\n"
    "                       (default: zelkova-user-client beside this program)\n"
    "  --wait SECONDS       how long to wait for the lock (default 300)\n"
    "  --help               show this text\n"
    "\n"
    "A package is installed only when it is signed by a key of the update keyring, is the\n"
    "zelkova-user-client package and is newer than this program's version. Nothing is run\n"
    "through a shell.\n";

int Usage(const std::string& why) {
    std::cerr << "zelkova-update: " << why << " (see zelkova-update --help)\n";
    return 2;
}

fs::path SelfPath() {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe;
}

// The keyring to trust: the one given (never through pkexec), else the package's own. Through
// pkexec the shipped keyring and its folder must be root's and writable by nobody else.
std::string FindKeyring(const std::string& given, bool underPkexec, fs::path& keyring) {
    if (!given.empty()) {
        keyring = given;
        return {};
    }
    const auto shipped = zkv::ShippedUpdateKeyring(SelfPath().parent_path());
    if (!shipped)
        return zkv::kUpdCannotVerify;
    if (underPkexec) {
        for (const fs::path& p : {*shipped, shipped->parent_path()}) {
            struct stat st {};
            if (::lstat(p.c_str(), &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0)
                return "the update keyring " + shipped->string() + " is not root's alone";
        }
    }
    keyring = *shipped;
    return {};
}

zkv::UpdateVerdict Check(const fs::path& package, const fs::path& keyring,
                         const zkv::PrivateDirectory& work) {
    zkv::UpdateCheckOptions o;
    o.keyring = keyring;
    o.builtVersion = zkv::BuiltPackageVersion();
    return zkv::CheckUpdatePackage(package, o, work.Path());
}

// Checks and installs `package` as root. One line tells the outcome.
int Install(const fs::path& package, const fs::path& keyring) {
    if (::geteuid() != 0) {
        std::cerr << "zelkova-update: refused: installing needs root (the client asks pkexec)\n";
        return 1;
    }
    zkv::PrivateDirectory work;
    if (!work.Ok()) {
        std::cerr << "zelkova-update: refused: " << work.Error() << "\n";
        return 1;
    }
    const zkv::UpdateVerdict v = Check(package, keyring, work);
    if (!v.ok) {
        std::cerr << "zelkova-update: refused: " << v.reason << "\n";
        return 1;
    }
    std::cerr << "zelkova-update: installing " << v.package << " " << v.version << " signed by "
              << v.signer << "\n";
    std::string error;
    const int rc = zkv::RunProgram(
        {"/usr/bin/apt-get", "install", "-y", (work.Path() / "package.deb").string()},
        {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "DEBIAN_FRONTEND=noninteractive", "LC_ALL=C"}, 3600,
        nullptr, 0, true, &error);
    if (rc != 0) {
        std::cerr << "zelkova-update: apt-get failed"
                  << (rc < 0 ? ": " + error : " (exit status " + std::to_string(rc) + ")") << "\n";
        return 1;
    }
    std::cerr << "zelkova-update: installed " << v.package << " " << v.version << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool underPkexec = std::getenv("PKEXEC_UID") != nullptr;
    std::string keyringOption, checkFile;
    int waitSeconds = 300;
    bool waitGiven = false;
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--help") {
            std::cout << kHelp;
            return 0;
        }
        if (a != "--keyring" && a != "--check" && a != "--wait")
            return Usage("unknown option " + a);
        if (i + 1 >= args.size())
            return Usage(a + " needs a value");
        const std::string& value = args[++i];
        if (a == "--keyring") {
            if (underPkexec)
                return Usage("refused: --keyring is not taken through pkexec");
            keyringOption = value;
        } else if (a == "--check") {
            checkFile = value;
        } else {
            char* end = nullptr;
            const long v = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || !end || *end || v < 0 || v > 86400)
                return Usage("--wait takes seconds from 0 to 86400");
            waitSeconds = static_cast<int>(v);
            waitGiven = true;
        }
    }
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());

    if (!checkFile.empty()) {
        if (!rest.empty() || waitGiven)
            return Usage("--check takes one file and nothing else");
        fs::path keyring;
        zkv::UpdateVerdict v;
        if (const std::string e = FindKeyring(keyringOption, underPkexec, keyring); !e.empty()) {
            v.reason = e;
        } else {
            zkv::PrivateDirectory work;
            if (work.Ok())
                v = Check(checkFile, keyring, work);
            else
                v.reason = work.Error();
        }
        std::cout << v.Json() << "\n";
        return v.ok ? 0 : 1;
    }

    if (rest.size() == 1) {
        if (waitGiven)
            return Usage("--wait belongs to the hand-over form");
        const auto package = zkv::InstallerPathOf(rest[0]);
        if (!package)
            return Usage("not an absolute path to a .deb package: " + rest[0]);
        fs::path keyring;
        if (const std::string e = FindKeyring(keyringOption, underPkexec, keyring); !e.empty()) {
            std::cerr << "zelkova-update: refused: " << e << "\n";
            return 1;
        }
        return Install(*package, keyring);
    }

    // The user's side of the hand-over: never through pkexec, which would start the client (a
    // program named on the command line) as root.
    if (underPkexec)
        return Usage("refused: through pkexec only PACKAGE or --check PACKAGE is taken");
    if (rest.size() < 2)
        return Usage("two arguments needed");
    const fs::path lock = rest[0];
    const auto package = zkv::InstallerPathOf(rest[1]);
    if (!package)
        return Usage("not an absolute path to a .deb package: " + rest[1]);
    std::vector<std::string> client(rest.begin() + 2, rest.end());
    const fs::path self = SelfPath();
    if (client.empty())
        client.push_back((self.parent_path() / "zelkova-user-client").string());

    std::cerr << "zelkova-update: waiting for the client to end (" << lock.string() << ")\n";
    if (!zkv::WaitForInstanceLockRelease(lock, waitSeconds * 1000)) {
        std::cerr << "zelkova-update: the client still runs; nothing installed\n";
        return 1;
    }
    int rc = 1;
    if (::geteuid() == 0) {
        fs::path keyring;
        if (const std::string e = FindKeyring(keyringOption, false, keyring); !e.empty())
            std::cerr << "zelkova-update: refused: " << e << "\n";
        else
            rc = Install(*package, keyring);
    } else {
        // The root side checks everything again on its own copy; it gets nothing but the path.
        const zkv::SpawnResult root =
            zkv::SpawnDetached({"/usr/bin/pkexec", self.string(), package->string()});
        if (!root.started)
            std::cerr << "zelkova-update: cannot start pkexec: " << root.error << "\n";
        else
            rc = zkv::WaitForChild(root.pid);
    }

    // The client comes back as the user either way: the new version, or the old one to go on.
    const zkv::SpawnResult again = zkv::SpawnDetached(client);
    if (!again.started)
        std::cerr << "zelkova-update: cannot start " << client[0] << ": " << again.error << "\n";
    return rc == 0 && again.started ? 0 : 1;
}
