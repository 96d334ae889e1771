// The service stand-in (zelkova-service-sim, found through ZKV_SERVICE_SIM) for the window
// tests.
#pragma once

#include "tests/app/ui/QtTestSupport.h"
#include "tests/app/ui/RealServers.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace zkv::test {

// zelkova-service-sim on a free port, its output (one JSON object per line) in a file.
class ServiceStandIn {
public:
    bool Start(std::vector<std::string> extra = {}) {
        const char* bin = std::getenv("ZKV_SERVICE_SIM");
        if (!bin || !*bin) {
            error_ = "ZKV_SERVICE_SIM is not set";
            return false;
        }
        std::vector<std::string> argv = {bin, "--port", "0", "--port-file", dir_.File("port")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!proc_.Start(argv, dir_.File("sim.out")))
            return false;
        for (int i = 0; i < 200 && port_ == 0; ++i) {
            std::ifstream in(dir_.File("port"));
            in >> port_;
            if (port_ == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (port_ == 0)
            error_ = "the stand-in did not start: " + ReadFile(dir_.File("sim.out"));
        return port_ != 0;
    }
    int Port() const { return port_; }
    const std::string& Error() const { return error_; }
    // The objects the stand-in printed so far.
    std::vector<nlohmann::json> Printed() const {
        std::vector<nlohmann::json> out;
        std::ifstream in(dir_.File("sim.out"));
        std::string line;
        while (std::getline(in, line)) {
            auto j = nlohmann::json::parse(line, nullptr, false);
            if (!j.is_discarded())
                out.push_back(std::move(j));
        }
        return out;
    }
    // Items of the packets the stand-in received with this item code and packet kind.
    std::vector<nlohmann::json> Items(int code, int kind) const {
        std::vector<nlohmann::json> out;
        for (const auto& p : Printed()) {
            if (!p.contains("items") || p["header"]["kind"] != kind)
                continue;
            for (const auto& it : p["items"])
                if (it["code"] == code)
                    out.push_back(it);
        }
        return out;
    }
    int Connections() const {
        int n = 0;
        for (const auto& p : Printed())
            n += p.value("event", "") == "connected";
        return n;
    }

private:
    TempDir dir_;
    ChildProcess proc_;
    int port_ = 0;
    std::string error_;
};

} // namespace zkv::test
