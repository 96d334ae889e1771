// Deployment values: where the client finds the service, and the names of its data files.
//
// This is the one place these values are set. A test or a second installation points the
// client elsewhere through user.dat (server host and port) and --data-dir, never by editing
// this file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace zkv {

// The service's server, used when user.dat cannot be read.
inline constexpr const char* kDefaultServerHost = "service.zelkova.example";
inline constexpr std::int32_t kDefaultServerPort = 4636;

// The service's web site; the setup-instructions page lies at a fixed path on it.
inline constexpr const char* kServiceWebSite = "https://www.zelkova.example";
inline constexpr const char* kSetupInstructionsPath = "/zelkova/setup-instructions.php";
// The setup-instructions page: the window's Help, and the Help of the detection's and the
// controller form's messages.
inline std::string SetupInstructionsAddress() {
    return std::string(kServiceWebSite) + kSetupInstructionsPath;
}

// The web server that holds the version file of the update check (plain HTTP); --update-url
// points a lab or a test elsewhere.
inline constexpr const char* kUpdateServerHost = "www.zelkova.example";

// Files of the data directory.
inline constexpr const char* kUserDataFileName = "user.dat";
inline constexpr const char* kUserSetupFileName = "UserSetup.ini";
// The reboot-state values, kept in a Windows-INI file whose one section "ZkvUser" holds the
// keys "WasReboot" and "Automat".
inline constexpr const char* kRebootStateFileName = "reboot-state.ini";
inline constexpr const char* kRebootStateSection = "ZkvUser";
inline constexpr const char* kLogsDirName = "logs";
// Installers fetched by the update check.
inline constexpr const char* kDownloadsDirName = "downloads";
// The window's placement (section "MainForm").
inline constexpr const char* kPlacementFileName = "placement.ini";

// $XDG_CONFIG_HOME/zelkova-user-client, or ~/.config/zelkova-user-client when XDG_CONFIG_HOME
// is unset or not absolute. Nothing is created.
std::filesystem::path DefaultDataDirectory();

// The files of one data directory.
struct DataDirectory {
    std::filesystem::path dir;

    std::filesystem::path UserData() const { return dir / kUserDataFileName; }
    std::filesystem::path UserSetup() const { return dir / kUserSetupFileName; }
    std::filesystem::path RebootState() const { return dir / kRebootStateFileName; }
    std::filesystem::path Logs() const { return dir / kLogsDirName; }
    std::filesystem::path Downloads() const { return dir / kDownloadsDirName; }
    std::filesystem::path Placement() const { return dir / kPlacementFileName; }
};

} // namespace zkv
