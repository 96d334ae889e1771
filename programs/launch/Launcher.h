// zelkova-user-client-launch: starts the desktop client with the rights its port I/O and the
// channel take-over need, through pkexec, while the display, the data directory and the
// ownership of the user's files stay the user's.
//
// The same program plays two roles. Started by the user (the desktop entry), it works out the
// user's data directory and display and runs itself again through pkexec with those as
// arguments (pkexec clears the environment). Started as root with --root, it checks those
// arguments, starts the client next to itself and, while the client runs and once it has
// ended, gives the files root created in the data directory back to the user pkexec names in
// PKEXEC_UID.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zkv::launch {

using Environment = std::map<std::string, std::string>;

// The display and session variables handed across pkexec.
inline constexpr const char* kPassedVariables[] = {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY",
                                                   "XDG_RUNTIME_DIR"};

// $XDG_CONFIG_HOME/zelkova-user-client, or $HOME/.config/zelkova-user-client when
// XDG_CONFIG_HOME is unset or not absolute; empty when neither gives an absolute path.
std::string UserDataDirectory(const Environment& env);

// The command the user's side runs: pkexec, this program, --root, the data directory and each
// of kPassedVariables that is set, as "--env NAME=VALUE".
std::vector<std::string> PkexecCommand(const std::string& pkexec, const std::string& self,
                                       const std::string& dataDir, const Environment& env);

// What the root side was asked to do.
struct RootRequest {
    std::string dataDir;
    Environment passed; // values of kPassedVariables
};

// Parses and checks the root side's arguments (everything after --root): "--data-dir DIR" once,
// "--env NAME=VALUE" only for kPassedVariables. The data directory must be an absolute path
// of a real directory (not a symbolic link) owned by `uid`; path values must be absolute; no
// value may be longer than 4096 bytes. Returns false with `error` set otherwise.
bool ParseRootRequest(const std::vector<std::string>& args, uid_t uid, RootRequest& request,
                      std::string& error);

// Counts of one ownership pass.
struct OwnershipPass {
    int changed = 0;
    int failed = 0;
};

// Gives every entry below `dir` (and `dir` itself) that is owned by `from` to uid:gid. Symbolic
// links are never followed (a link itself may change owner), directories are entered through
// descriptors opened relative to their parent with O_NOFOLLOW, and a regular file with more
// than one hard link is left alone: a name the user made for a file of somebody else's never
// hands that file over.
OwnershipPass ReturnOwnership(const std::string& dir, uid_t from, uid_t uid, gid_t gid);

// The whole program; `self` is the path of this program's executable.
int Run(const std::vector<std::string>& args, const std::string& self, std::ostream& out,
        std::ostream& err);

} // namespace zkv::launch
