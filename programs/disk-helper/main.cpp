// zelkova-disk-helper: the part of the client that needs root, and nothing else. It serves the
// disk helper protocol (docs/helper-protocol.md) on its standard input and output, one end of a
// socket pair the client gave as both, and ends when that connection closes for any reason,
// giving back the channel it took. No Qt, no network.
//
//   zelkova-disk-helper [--hardware linux | linux:ROOT | sim:FILE] [--state-dir DIR]
//
// With sim:FILE it serves the simulated hardware of FILE and needs no rights. Started through
// pkexec (PKEXEC_UID set) it takes no option but --help and --version: real hardware only, and
// its crash records in HELPER_STATE_DIR.
#include "helper/HelperServer.h"
#include "helper/HelperState.h"
#include "support/Version.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

void Log(const std::string& text) {
    std::fprintf(stderr, "zelkova-disk-helper: %s\n", text.c_str());
    std::fflush(stderr);
}

int Usage(int code) {
    std::fprintf(
        code == 0 ? stdout : stderr,
        "Usage: zelkova-disk-helper [--hardware linux | linux:ROOT | sim:FILE] [--state-dir DIR]\n"
        "Serves the disk helper protocol on standard input and output; started by the\n"
        "client, not by hand. sim:FILE serves simulated hardware without rights.\n");
    return code;
}

} // namespace

int main(int argc, char** argv) {
    // A batch's request, results and reply are buffers of up to tens of MiB, made and freed for
    // every batch. Kept in the heap rather than mapped and unmapped each time, they are not
    // faulted in afresh page by page (a batch of large reads took four times as long).
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);
    std::string hardware = "linux";
    std::string stateDir;
    // Through pkexec the caller is the user: a file to read as root or a directory to write as
    // root is not the user's to name.
    const bool viaPkexec = std::getenv("PKEXEC_UID") != nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help")
            return Usage(0);
        if (a == "--version") {
            std::printf("zelkova-disk-helper %s\n", zkv::kProgramVersionText);
            return 0;
        }
        if (viaPkexec) {
            Log("refused: started through pkexec, it takes no option (" + a + ")");
            return 2;
        }
        if (a == "--hardware" && i + 1 < argc) {
            hardware = argv[++i];
            continue;
        }
        if (a == "--state-dir" && i + 1 < argc) {
            stateDir = argv[++i];
            continue;
        }
        return Usage(2);
    }
    if (stateDir.empty())
        stateDir = geteuid() == 0 ? zkv::helper::HELPER_STATE_DIR : zkv::helper::UserStateDir();

    // The signals that end the helper arrive through a descriptor the reader watches, so the
    // channel is given back on them as on a closed connection. SIGPIPE is blocked: a write to a
    // closed connection fails with EPIPE and ends the same way. Blocked before any thread.
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    sigdelset(&set, SIGPIPE);
    const int stop = signalfd(-1, &set, SFD_CLOEXEC);

    std::string error;
    auto hw = zkv::helper::HelperHardware::Open(hardware, error);
    if (!hw) {
        Log("cannot open the hardware: " + error);
        return 1;
    }
    if (std::string why; !zkv::helper::PrepareStateDir(stateDir, why)) {
        Log("cannot keep crash records: " + why);
        return 1;
    }
    zkv::helper::RecoverLeftChannels(stateDir, hw->Setup(), Log);
    zkv::helper::ServerOptions options;
    options.stateDir = stateDir;
    options.in = STDIN_FILENO;
    options.out = STDOUT_FILENO;
    options.stop = stop;
    options.log = Log;
    std::string why;
    {
        zkv::helper::HelperServer server(*hw, options);
        Log("serving " + hardware);
        why = server.Run();
    }
    Log("ended: " + why);
    return 0;
}
