#include "tools/UpdateHandOver.h"

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

std::vector<std::string> PackageCommand(const std::filesystem::path& deb, bool root,
                                        const std::string& replacement) {
    if (!replacement.empty())
        return {replacement, deb.string()};
    std::vector<std::string> cmd;
    if (!root)
        cmd.push_back("/usr/bin/pkexec");
    // An absolute path: apt-get takes it for a package file, never for an option or a name.
    cmd.insert(cmd.end(), {"/usr/bin/apt-get", "install", "-y", deb.string()});
    return cmd;
}

} // namespace zkv
