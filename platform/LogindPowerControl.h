// Restart and power-off through systemd-logind on the system bus.
//
// Calls org.freedesktop.login1.Manager.Reboot(false) or PowerOff(false) on
// /org/freedesktop/login1 (not interactive: polkit must allow it without asking, which it does
// for the active local session or root). The bus is the system bus, or the address in
// DBUS_SYSTEM_BUS_ADDRESS, or the address given to the constructor (tests run a private bus).
#pragma once

#include "platform/PowerControl.h"

#include <string>

namespace zkv {

class LogindPowerControl final : public IPowerControl {
public:
    // Empty `busAddress`: the system bus as sd-bus finds it.
    explicit LogindPowerControl(std::string busAddress = {}) : address_(std::move(busAddress)) {}

    PowerResult Reboot() override { return Call("Reboot"); }
    PowerResult PowerOff() override { return Call("PowerOff"); }

private:
    PowerResult Call(const char* method);
    std::string address_;
};

} // namespace zkv
