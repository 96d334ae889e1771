#include "support/Deployment.h"

#include <cstdlib>

namespace zkv {

std::filesystem::path DefaultDataDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (xdg && *xdg && std::filesystem::path(xdg).is_absolute()) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home && *home ? home : ".") / ".config";
    }
    return base / "zelkova-user-client";
}

} // namespace zkv
