// Command line of zelkova-user-client.
#pragma once

#include <string>
#include <vector>

namespace zkv {

struct ClientOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    std::string dataDir;            // where user.dat, UserSetup.ini, flags and logs live
    std::string hardware = "linux"; // "linux" or "sim:FILE"
    std::string error;              // for Action::Error
};

// Parses the arguments after the program name. `env` looks up an environment variable
// (null when unset); the default data directory is $XDG_CONFIG_HOME/zelkova-user-client, or
// $HOME/.config/zelkova-user-client when XDG_CONFIG_HOME is unset or empty.
ClientOptions ParseClientOptions(const std::vector<std::string>& args,
                                 const char* (*env)(const char*));

std::string ClientUsage();

} // namespace zkv
