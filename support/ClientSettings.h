// ClientSettings: the program-wide settings record, and the stored values that live in it.
//
// WasReboot and Automat survive a restart of the computer in the reboot-state file of the data
// directory (a Windows-INI file, section "ZkvUser", keys "WasReboot" and "Automat"); LogColor
// comes from section "MAIN" of UserSetup.ini.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zkv {

inline constexpr std::int32_t kDefaultLogColor = 15780518; // 0xF0CAA6: RGB 166, 202, 240

struct ClientSettings {
    // The computer was taken down at the technician's request and the client registered to
    // start again; the next engagement request resumes the stored engagement.
    bool WasReboot = false;
    std::int32_t LogColor = kDefaultLogColor;
    std::string unused1;
    std::string unused2;
    // The next engagement request carries the stored engagement data.
    bool Automat = true;
};

// Reads WasReboot and Automat from `file`. When the file or either value is missing or
// unreadable, both take their defaults: WasReboot false, Automat true. Returns true when both
// were read.
bool LoadRebootFlags(const std::filesystem::path& file, ClientSettings& settings);

// Writes both values, creating the file when missing and keeping anything else in it.
bool SaveRebootFlags(const std::filesystem::path& file, const ClientSettings& settings,
                     std::string* error = nullptr);

// "LogColor" of section "MAIN" in UserSetup.ini; 15780518 when the file or key is missing.
std::int32_t LoadLogColor(const std::filesystem::path& userSetupIni);

} // namespace zkv
