#include "app/model/ClientOptions.h"

#include <cstdlib>

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
        if (name == "--unattended") {
            if (hasValue)
                return fail("--unattended takes no value");
            o.unattended = true;
            continue;
        }
        if (name == "--data-dir" || name == "--hardware" || name == "--controller" ||
            name == "--serial-ports" || name == "--update-url" || name == "--answer-delay" ||
            name == "--update-keyring") {
            if (!hasValue) {
                if (i + 1 >= args.size())
                    return fail(name + " needs a value");
                value = args[++i];
            }
            if (name == "--data-dir") {
                if (value.empty())
                    return fail("--data-dir needs a directory");
                o.dataDir = value;
            } else if (name == "--controller") {
                if (value.empty())
                    return fail("--controller needs a controller key");
                o.controller = value;
            } else if (name == "--serial-ports") {
                o.serialPorts = SplitList(value);
                if (o.serialPorts.empty())
                    return fail("--serial-ports needs at least one device path");
            } else if (name == "--answer-delay") {
                char* end = nullptr;
                const long ms = std::strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || ms < 0 || ms > 60000)
                    return fail("--answer-delay takes milliseconds from 0 to 60000");
                o.answerDelayMs = static_cast<int>(ms);
            } else if (name == "--update-keyring") {
                if (value.empty())
                    return fail("--update-keyring needs a keyring file");
                o.updateKeyring = value;
            } else if (name == "--update-url") {
                if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0)
                    return fail("--update-url takes an http:// or https:// address");
                o.updateUrl = value;
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

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma;
        if (end > start)
            out.push_back(text.substr(start, end - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
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
           "\n"
           "For labs, support training, the demo and automated runs:\n"
           "  --unattended          answer every question without a person: OK, else Yes, else\n"
           "                        Cancel, else the first button; each answer is logged. The\n"
           "                        login dialog is skipped when user.dat holds valid login data\n"
           "  --controller KEY      take the channel whose key is KEY (see 'zelkova-ata\n"
           "                        controllers') without showing the selection form\n"
           "  --serial-ports LIST   serial ports 1, 2, ... are the comma-separated device paths\n"
           "                        of LIST instead of this computer's serial devices\n"
           "  --update-url URL      read the version file from URL\n"
           "  --update-keyring FILE check a downloaded package against the OpenPGP keyring\n"
           "                        FILE instead of the one shipped in the package (the\n"
           "                        installation itself always uses the shipped one)\n"
           "  --answer-delay MS     with --unattended, a technician's screen stays up MS\n"
           "                        milliseconds (0 to 60000) before it is answered\n"
           "\n"
           "  --help                show this text\n"
           "  --version             show the program version\n"
           "\n"
           "Runs without a display with QT_QPA_PLATFORM=offscreen.\n";
}

} // namespace zkv
