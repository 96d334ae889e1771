// A power control that switches nothing off: it records each request and answers as told.
#pragma once

#include "platform/PowerControl.h"

#include <mutex>
#include <string>
#include <vector>

namespace zkv {

class RecordingPowerControl final : public IPowerControl {
public:
    PowerResult Reboot() override { return Record("Reboot"); }
    PowerResult PowerOff() override { return Record("PowerOff"); }

    // The answer to the following requests: success, or a refusal with `why`.
    void Answer(bool ok, std::string why = {}) {
        std::lock_guard g(lock_);
        ok_ = ok;
        why_ = std::move(why);
    }
    std::vector<std::string> Requests() const {
        std::lock_guard g(lock_);
        return requests_;
    }

private:
    PowerResult Record(const char* what) {
        std::lock_guard g(lock_);
        requests_.emplace_back(what);
        return PowerResult{ok_, ok_ ? std::string() : why_};
    }

    mutable std::mutex lock_;
    bool ok_ = true;
    std::string why_ = "refused";
    std::vector<std::string> requests_;
};

} // namespace zkv
