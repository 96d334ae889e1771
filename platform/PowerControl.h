// Restarting and switching off the computer.
//
// The Linux backend asks systemd-logind over the system bus (Reboot / PowerOff, not
// interactive); the simulated one records what was asked and answers as told.
#pragma once

#include <string>

namespace zkv {

struct PowerResult {
    bool ok = false;
    std::string error; // why the request was refused, empty on success
};

class IPowerControl {
public:
    virtual ~IPowerControl() = default;
    virtual PowerResult Reboot() = 0;
    virtual PowerResult PowerOff() = 0;
};

} // namespace zkv
