// Command line of zelkova-user-client.
#pragma once

#include <string>
#include <vector>

namespace zkv {

struct ClientOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    std::string dataDir;            // --data-dir; empty: the default data directory
    std::string hardware = "linux"; // "linux" or "sim:FILE"
    std::string error;              // for Action::Error
};

// Parses the arguments after the program name.
ClientOptions ParseClientOptions(const std::vector<std::string>& args);

std::string ClientUsage();

} // namespace zkv
