#include "support/ClientSettings.h"

#include "support/Deployment.h"
#include "support/IniFile.h"

namespace zkv {

namespace {
constexpr const char* kWasReboot = "WasReboot";
constexpr const char* kAutomat = "Automat";

// A stored boolean: "1"/"0" or "true"/"false"; anything else is unreadable.
bool ReadStoredBool(const IniFile& ini, const char* key, bool& out) {
    if (!ini.HasKey(kRebootStateSection, key))
        return false;
    bool a = ini.ReadBool(kRebootStateSection, key, false);
    bool b = ini.ReadBool(kRebootStateSection, key, true);
    if (a != b)
        return false; // neither spelling of a boolean
    out = a;
    return true;
}
} // namespace

bool LoadRebootFlags(const std::filesystem::path& file, ClientSettings& settings) {
    IniFile ini(file);
    bool wasReboot = false;
    bool automat = true;
    if (ini.Load() && ReadStoredBool(ini, kWasReboot, wasReboot) &&
        ReadStoredBool(ini, kAutomat, automat)) {
        settings.WasReboot = wasReboot;
        settings.Automat = automat;
        return true;
    }
    settings.WasReboot = false;
    settings.Automat = true;
    return false;
}

bool SaveRebootFlags(const std::filesystem::path& file, const ClientSettings& settings,
                     std::string* error) {
    IniFile ini(file);
    if (!ini.Load()) {
        if (error)
            *error = "cannot read " + file.string();
        return false;
    }
    ini.WriteBool(kRebootStateSection, kWasReboot, settings.WasReboot);
    ini.WriteBool(kRebootStateSection, kAutomat, settings.Automat);
    return ini.Save(0644, error);
}

std::int32_t LoadLogColor(const std::filesystem::path& userSetupIni) {
    IniFile ini(userSetupIni);
    if (!ini.Load())
        return kDefaultLogColor;
    return ini.ReadInteger("MAIN", "LogColor", kDefaultLogColor);
}

} // namespace zkv
