#include "platform/RunOnce.h"

#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace zkv {

std::filesystem::path AutostartEntryPath() {
    std::filesystem::path base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && x[0] == '/')
        base = x;
    else if (const char* home = std::getenv("HOME"); home && home[0])
        base = std::filesystem::path(home) / ".config";
    else
        base = "/tmp";
    return base / "autostart" / kAutostartFileName;
}

std::filesystem::path CurrentProgram() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path("zelkova-user-client") : p;
}

std::string QuoteExecArgument(const std::string& arg) {
    const bool plain =
        !arg.empty() && arg.find_first_of(" \t\n\"'\\><~|&;$*?#()`%=") == std::string::npos;
    if (plain)
        return arg;
    // Inside double quotes the characters " ` $ \ are escaped with a backslash; a literal %
    // is written %%. The whole line is also a desktop-entry string, whose own escaping
    // doubles every backslash once more.
    std::string q = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            q += "\\\\";
        if (c == '%')
            q += '%';
        if (c == '\n')
            continue; // cannot stand in an Exec line
        q += c;
    }
    q += '"';
    return q;
}

bool RegisterRunOnce(const std::filesystem::path& program, const std::filesystem::path& dataDir,
                     std::string* error) {
    const auto path = AutostartEntryPath();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    const auto tmp = path.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "[Desktop Entry]\n"
            << "Type=Application\n"
            << "Name=Zelkova User Client\n"
            << "Comment=Continues the repair session after the restart\n"
            << "Exec=" << QuoteExecArgument(program.string()) << " --data-dir "
            << QuoteExecArgument(std::filesystem::absolute(dataDir, ec).string()) << "\n"
            << "Terminal=false\n"
            << "NoDisplay=true\n"
            << "X-GNOME-Autostart-enabled=true\n";
        out.flush();
        if (!out) {
            if (error)
                *error = "cannot write " + tmp;
            return false;
        }
    }
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        if (error)
            *error = "cannot create " + path.string() + ": " + ec.message();
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

bool RemoveRunOnce() {
    std::error_code ec;
    std::filesystem::remove(AutostartEntryPath(), ec);
    return !std::filesystem::exists(AutostartEntryPath(), ec);
}

} // namespace zkv
