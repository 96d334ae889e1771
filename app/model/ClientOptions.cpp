#include "app/model/ClientOptions.h"

namespace zkv {

namespace {

bool ValidHardware(const std::string& h) {
    return h == "linux" || (h.rfind("sim:", 0) == 0 && h.size() > 4);
}

} // namespace

ClientOptions ParseClientOptions(const std::vector<std::string>& args) {
    ClientOptions o;
    auto fail = [&o](std::string why) {
        o.action = ClientOptions::Action::Error;
        o.error = std::move(why);
        return o;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string name = a;
        std::string value;
        bool hasValue = false;
        if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            value = a.substr(eq + 1);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") {
            o.action = ClientOptions::Action::Help;
            return o;
        }
        if (name == "--version") {
            o.action = ClientOptions::Action::Version;
            return o;
        }
        if (name == "--data-dir" || name == "--hardware") {
            if (!hasValue) {
                if (i + 1 >= args.size())
                    return fail(name + " needs a value");
                value = args[++i];
            }
            if (name == "--data-dir") {
                if (value.empty())
                    return fail("--data-dir needs a directory");
                o.dataDir = value;
            } else {
                if (!ValidHardware(value))
                    return fail("--hardware takes linux or sim:FILE, not '" + value + "'");
                o.hardware = value;
            }
            continue;
        }
        return fail("unknown argument '" + a + "'");
    }
    return o;
}

std::string ClientUsage() {
    return "Usage: zelkova-user-client [options]\n"
           "\n"
           "The user's client of the Zelkova remote disk repair service.\n"
           "\n"
           "Options:\n"
           "  --data-dir DIR        keep user.dat, UserSetup.ini, the reboot flags and the\n"
           "                        session logs (DIR/logs) in DIR; default\n"
           "                        $XDG_CONFIG_HOME/zelkova-user-client\n"
           "  --hardware linux      reach the IDE channel through this computer's ports (default)\n"
           "  --hardware sim:FILE   use the simulated hardware described in FILE\n"
           "  --help                show this text\n"
           "  --version             show the program version\n"
           "\n"
           "Runs without a display with QT_QPA_PLATFORM=offscreen.\n";
}

} // namespace zkv
