#include "tools/UpdateHandOver.h"

#include "platform/Spawn.h"

#include <cstring>

extern char** environ;

namespace zkv {

std::string CannotStartInstallerText(const std::string& file) {
    return "Can not start installation program. Close this program and start " + file +
           " manually.";
}

std::vector<std::string> UpdaterArguments(const std::filesystem::path& updater,
                                          const std::filesystem::path& lockFile,
                                          const std::filesystem::path& installer,
                                          const std::vector<std::string>& clientCommand) {
    std::vector<std::string> argv = {updater.string(), lockFile.string(),
                                     installer.string() + kInstallerOptions};
    argv.insert(argv.end(), clientCommand.begin(), clientCommand.end());
    return argv;
}

std::optional<std::filesystem::path> InstallerPathOf(const std::string& argument) {
    std::string file = argument;
    const std::string options = kInstallerOptions;
    if (file.size() >= options.size() &&
        file.compare(file.size() - options.size(), options.size(), options) == 0)
        file.resize(file.size() - options.size());
    const std::filesystem::path p(file);
    if (!p.is_absolute() || p.extension() != ".deb" || p.filename().string().front() == '.')
        return std::nullopt;
    return p;
}

SpawnResult StartUpdater(const std::vector<std::string>& argv) {
    SpawnResult r;
    if (argv.empty() || argv[0].empty() || argv[0].find('/') == std::string::npos) {
        r.error = "no program path";
        return r;
    }
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "PKEXEC_UID=", 11) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    return SpawnDetached(argv, env.data());
}

} // namespace zkv
