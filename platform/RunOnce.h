// Starting the client once more after the computer restarts: an XDG autostart entry.
//
// The entry $XDG_CONFIG_HOME/autostart/zelkova-user-client.desktop (~/.config when
// XDG_CONFIG_HOME is unset or not absolute) starts the client with the same data directory at
// the next log-in; the client removes it as it starts, so it runs once.
#pragma once

#include <filesystem>
#include <string>

namespace zkv {

inline constexpr const char* kAutostartFileName = "zelkova-user-client.desktop";

std::filesystem::path AutostartEntryPath();

// The program that is running (/proc/self/exe).
std::filesystem::path CurrentProgram();

// Writes the entry: `program` --data-dir `dataDir`. False with `error` set when it cannot be
// written.
bool RegisterRunOnce(const std::filesystem::path& program, const std::filesystem::path& dataDir,
                     std::string* error = nullptr);

// Removes the entry if there is one. True when none is left.
bool RemoveRunOnce();

// One argument of an Exec line, quoted where the desktop-entry rules need it.
std::string QuoteExecArgument(const std::string& arg);

} // namespace zkv
