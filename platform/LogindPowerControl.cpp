#include "platform/LogindPowerControl.h"

#include <cstring>
#include <systemd/sd-bus.h>

namespace zkv {

namespace {

std::string ErrnoText(int r) {
    return std::strerror(r < 0 ? -r : r);
}

} // namespace

PowerResult LogindPowerControl::Call(const char* method) {
    PowerResult out;
    sd_bus* bus = nullptr;
    int r = 0;
    if (address_.empty()) {
        r = sd_bus_open_system(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0)
            r = sd_bus_set_address(bus, address_.c_str());
        if (r >= 0)
            r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0)
            r = sd_bus_start(bus);
    }
    if (r < 0) {
        out.error = std::string("cannot reach the system bus: ") + ErrnoText(r);
        sd_bus_unref(bus);
        return out;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", method, &error, &reply, "b", 0);
    if (r < 0) {
        out.error = std::string("logind refused ") + method + ": " +
                    (error.message ? error.message : ErrnoText(r));
    } else {
        out.ok = true;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return out;
}

} // namespace zkv
