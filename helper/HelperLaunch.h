// How the client starts the disk helper: the program zelkova-disk-helper beside the client's
// own executable, with one end of a socket pair as its standard input and output.
//
// On real hardware ("linux") a client that is not root starts it through pkexec, with no
// argument (pkexec is `pkexec` in PATH, or the program ZELKOVA_PKEXEC names). A client that is
// root already, and the lab hardware ("sim:FILE", "linux:ROOT", which ask for no rights), start
// it directly with --hardware. The helper has started when it answered HELLO: within 120 s when
// pkexec may ask for a password, else 10 s.
#pragma once

#include "helper/HelperClient.h"

#include <memory>
#include <string>
#include <vector>

namespace zkv::helper {

struct HelperLaunchOptions {
    std::string hardware = "linux";
    bool root = false;      // the client runs as root
    std::string programDir; // where zelkova-disk-helper is; empty: beside this executable
    std::string stateDir;   // --state-dir for a direct start (tests); empty: the helper's own
};

// The command line, and whether it goes through pkexec. Empty with `error` set when the helper
// or pkexec cannot be found.
std::vector<std::string> DiskHelperCommand(const HelperLaunchOptions& options, bool& viaPkexec,
                                           std::string& error);

// Starts the helper and waits for its HELLO. nullptr with `error` the reason, said for the user
// ("the authorisation was dismissed", ...).
std::unique_ptr<DiskHelperClient> StartDiskHelper(const HelperLaunchOptions& options,
                                                  std::string& error);

} // namespace zkv::helper
