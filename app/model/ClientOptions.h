// Command line of zelkova-user-client.
#pragma once

#include <string>
#include <vector>

namespace zkv {

// Lab, support and test options: each stands in for a person or a device. The window gets
// them as they were given.
struct LabOptions {
    bool unattended = false;              // --unattended: every question answered by default
    std::string controller;               // --controller KEY: the channel, without the form
    std::vector<std::string> serialPorts; // --serial-ports PATH[,PATH...]: ports 1, 2, ...
    std::string updateUrl;                // --update-url URL: where the version file is
    std::string updateKeyring; // --update-keyring FILE: the keyring a download is checked against
    int answerDelayMs = 0;     // --answer-delay MS: unattended screens stay up this long first
};

struct ClientOptions : LabOptions {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    std::string dataDir;            // --data-dir; empty: the default data directory
    std::string hardware = "linux"; // "linux" or "sim:FILE"
    std::string error;              // for Action::Error
};

// Splits "a,b,c" into its non-empty parts.
std::vector<std::string> SplitList(const std::string& text);

// Parses the arguments after the program name.
ClientOptions ParseClientOptions(const std::vector<std::string>& args);

std::string ClientUsage();

} // namespace zkv
