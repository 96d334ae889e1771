// The hand-over from the client to zelkova-update once a newer installer was downloaded.
//
// The client starts zelkova-update (as itself, never as root) with two arguments: the
// single-instance lock file, and the installer's path followed by the installer options
// " /SP- /SILENT /NOCANCEL", all in one argument. After them come the client's own program and
// arguments, for the restart. The updater waits until the lock is free (the client has ended),
// asks pkexec to install the package (the root side checks it again on its own copy) and
// starts the client again.
#pragma once

#include "platform/Spawn.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zkv {

inline constexpr const char* kInstallerOptions = " /SP- /SILENT /NOCANCEL";
inline constexpr const char* kUpdaterProgramName = "zelkova-update";

// "Can not start installation program. Close this program and start " + file + " manually."
std::string CannotStartInstallerText(const std::string& file);

// The updater's argument vector (argv[0] is `updater`).
std::vector<std::string> UpdaterArguments(const std::filesystem::path& updater,
                                          const std::filesystem::path& lockFile,
                                          const std::filesystem::path& installer,
                                          const std::vector<std::string>& clientCommand);

// The installer path out of the second argument: the trailing installer options are removed.
// Only an absolute path to a .deb file is accepted.
std::optional<std::filesystem::path> InstallerPathOf(const std::string& argument);

// Starts the updater like SpawnDetached (no shell, a session of its own, only the standard
// descriptors), with this process's environment less PKEXEC_UID: a client that was itself
// started through pkexec must not make its updater believe it runs through pkexec.
SpawnResult StartUpdater(const std::vector<std::string>& argv);

} // namespace zkv
