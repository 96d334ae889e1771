// A deterministic clock for the simulated hardware: nanosecond ticks that advance only when the
// simulation says so (a port access, a sleep, a busy wait), plus one tick per reading so that a
// loop watching the clock always makes progress.
#pragma once

#include "platform/TimeBase.h"

#include <atomic>

namespace zkv {

class VirtualClock final : public TimeBase {
public:
    std::uint64_t TicksPerSecond() const override { return 1'000'000'000ULL; }
    std::uint64_t Now() override { return now_.fetch_add(1) + 1; }
    void SleepMs(std::uint32_t ms) override { Advance(std::uint64_t{ms} * 1'000'000ULL); }
    void Spin(std::uint64_t ticks) override { Advance(ticks); }

    void Advance(std::uint64_t ns) { now_.fetch_add(ns); }
    // The current time without the reading tick.
    std::uint64_t Peek() const { return now_.load(); }

private:
    std::atomic<std::uint64_t> now_{0};
};

} // namespace zkv
