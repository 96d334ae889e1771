// zelkova-update: installs a downloaded client package once the client has ended, then starts
// the client again.
//
//   zelkova-update [--package-command PROGRAM] [--wait SECONDS] LOCK "INSTALLER OPTIONS"
//                  [CLIENT [ARG...]]
//
// LOCK is the client's single-instance lock file; the second argument is the package's absolute
// path with the installer options after it. The package is installed with apt-get (through
// pkexec when not root); --package-command, or ZELKOVA_UPDATE_PACKAGE_COMMAND, names another
// program, which is run with the package path as its one argument. CLIENT with its arguments is
// started again afterwards (default: zelkova-user-client beside this program). Nothing is run
// through a shell.
#include "platform/InstanceLock.h"
#include "platform/Spawn.h"
#include "tools/UpdateHandOver.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int Usage(const std::string& why) {
    std::cerr << "zelkova-update: " << why << "\n"
              << "usage: zelkova-update [--package-command PROGRAM] [--wait SECONDS] LOCK "
                 "\"PACKAGE OPTIONS\" [CLIENT [ARG...]]\n";
    return 2;
}

constexpr const char* kHelp =
    "Usage: zelkova-update [--package-command PROGRAM] [--wait SECONDS] LOCK \"PACKAGE OPTIONS\"\n"
    "                      [CLIENT [ARG...]]\n"
    "\n"
    "Installs a client package downloaded by zelkova-user-client once the client has ended,\n"
    "then starts the client again. The client starts this program itself.\n"
    "\n"
    "  LOCK                 the client's single-instance lock file; installing waits until\n"
    "                       it is released\n"
    "  \"PACKAGE OPTIONS\"    the package's absolute path (.deb), then the installer options\n"
    "  CLIENT [ARG...]      the client to start again (default: zelkova-user-client beside\n"
    "                       this program)\n"
    "  --package-command P  install with program P (given the package path) instead of\n"
    "                       apt-get; also ZELKOVA_UPDATE_PACKAGE_COMMAND\n"
    "  --wait SECONDS       how long to wait for the lock (default 300)\n"
    "  --help               show this text\n"
    "\n"
    "Nothing is run through a shell. Without root rights apt-get runs through pkexec.\n";

std::filesystem::path SelfDir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe.parent_path();
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string packageCommand;
    if (const char* env = std::getenv("ZELKOVA_UPDATE_PACKAGE_COMMAND"))
        packageCommand = env;
    int waitSeconds = 300;
    std::size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
        if (args[i] == "--") {
            ++i;
            break;
        }
        if (args[i] == "--help") {
            std::cout << kHelp;
            return 0;
        }
        if (i + 1 >= args.size())
            return Usage(args[i] + " needs a value");
        if (args[i] == "--package-command") {
            packageCommand = args[++i];
        } else if (args[i] == "--wait") {
            char* end = nullptr;
            const long v = std::strtol(args[++i].c_str(), &end, 10);
            if (!end || *end || v < 0 || v > 86400)
                return Usage("--wait takes seconds");
            waitSeconds = static_cast<int>(v);
        } else {
            return Usage("unknown option " + args[i]);
        }
    }
    if (args.size() - i < 2)
        return Usage("two arguments needed");
    const std::filesystem::path lock = args[i];
    const auto package = zkv::InstallerPathOf(args[i + 1]);
    if (!package)
        return Usage("not an absolute path to a .deb package: " + args[i + 1]);
    std::vector<std::string> client(args.begin() + static_cast<std::ptrdiff_t>(i + 2), args.end());
    if (client.empty())
        client.push_back((SelfDir() / "zelkova-user-client").string());

    std::cerr << "zelkova-update: waiting for the client to end (" << lock.string() << ")\n";
    if (!zkv::WaitForInstanceLockRelease(lock, waitSeconds * 1000)) {
        std::cerr << "zelkova-update: the client still runs; nothing installed\n";
        return 1;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(*package, ec)) {
        std::cerr << "zelkova-update: no package at " << package->string() << "\n";
        return 1;
    }
    const auto command = zkv::PackageCommand(*package, ::geteuid() == 0, packageCommand);
    std::cerr << "zelkova-update: running " << command[0] << "\n";
    const zkv::SpawnResult install = zkv::SpawnDetached(command);
    int rc = install.started ? zkv::WaitForChild(install.pid) : -1;
    if (!install.started)
        std::cerr << "zelkova-update: cannot start " << command[0] << ": " << install.error << "\n";
    else if (rc != 0)
        std::cerr << "zelkova-update: " << command[0] << " failed (exit status " << rc << ")\n";
    else
        std::cerr << "zelkova-update: installed " << package->string() << "\n";

    // The client comes back either way: with the new version, or with the old one to go on.
    const zkv::SpawnResult again = zkv::SpawnDetached(client);
    if (!again.started)
        std::cerr << "zelkova-update: cannot start " << client[0] << ": " << again.error << "\n";
    return rc == 0 && again.started ? 0 : 1;
}
