// zelkova-service-sim: the loopback stand-in for the service's server.
#include "sim/ServiceSim.h"

#include <csignal>
#include <iostream>

namespace {
std::atomic<bool> gStop{false};
extern "C" void OnSignal(int) {
    gStop.store(true);
}
} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    zkv::sim::ServiceOptions options;
    int rc = zkv::sim::ParseOptions(args, options, std::cout, std::cerr);
    if (rc == 1)
        return 0;
    if (rc != 0)
        return rc;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return zkv::sim::Serve(options, std::cout, std::cerr, gStop);
}
