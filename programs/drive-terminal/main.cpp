// zelkova-drive-terminal: a simulated drive terminal on a pseudo-terminal, for the demo and for
// labs. Prints the pty's path (the client's --serial-ports takes it) and runs until SIGINT or
// SIGTERM.
#include "sim/DriveTerminal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>
#include <unistd.h>

namespace {

int gStopPipe[2] = {-1, -1};

void OnSignal(int) {
    char b = 1;
    [[maybe_unused]] auto n = ::write(gStopPipe[1], &b, 1);
}

int Usage(FILE* to, int code) {
    std::fputs("usage: zelkova-drive-terminal [--speed BAUD] [--asleep] [--no-speed-commands]\n"
               "                              [--prompt TEXT]\n"
               "  Opens a pseudo-terminal with a simulated drive terminal behind it, prints the\n"
               "  device path on the first line of standard output and runs until interrupted.\n"
               "  --speed BAUD          the terminal's line speed (9600, 19200, 57600, 115200;\n"
               "                        default 9600); it is silent at any other speed\n"
               "  --asleep              start switched off: only Ctrl-Z wakes it\n"
               "  --no-speed-commands   ignore B96/B192/B576/B115 (a switch then fails)\n"
               "  --prompt TEXT         the prompt (default T>)\n",
               to);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    zkv::DriveTerminal::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--help")
            return Usage(stdout, 0);
        if (a == "--asleep") {
            options.awake = false;
        } else if (a == "--no-speed-commands") {
            options.acceptsSpeedCommands = false;
        } else if ((a == "--speed" || a == "--prompt") && i + 1 < argc) {
            const char* v = argv[++i];
            if (a == "--prompt") {
                options.prompt = v;
            } else {
                char* end = nullptr;
                long s = std::strtol(v, &end, 10);
                if (*end != '\0' || (s != 9600 && s != 19200 && s != 57600 && s != 115200)) {
                    std::fprintf(stderr, "zelkova-drive-terminal: unsupported speed %s\n", v);
                    return 2;
                }
                options.speed = static_cast<std::int32_t>(s);
            }
        } else {
            return Usage(stderr, 2);
        }
    }
    try {
        zkv::DriveTerminal terminal(options);
        if (::pipe(gStopPipe) != 0)
            return 1;
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        std::printf("%s\n", terminal.Path().c_str());
        std::fflush(stdout);
        terminal.Start();
        char b;
        while (::read(gStopPipe[0], &b, 1) < 0) {
        }
        terminal.Stop();
        auto r = terminal.Snapshot();
        std::fprintf(stderr,
                     "zelkova-drive-terminal: %zu bytes received, %zu speed commands, speed %d\n",
                     r.received.size(), r.speedCommands.size(), r.speed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelkova-drive-terminal: %s\n", e.what());
        return 1;
    }
    return 0;
}
