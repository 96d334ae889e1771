// The time base of the ATA subsystem: a tick counter, a sleep, and a busy wait.
//
// Every wait of the engine (status polls, the 400 ns settle, the sleeps of reset and probe) goes
// through this interface, so the simulated hardware can run the engine on a virtual clock where
// a 40-second time-out passes in microseconds of real time.
#pragma once

#include <cstdint>

namespace zkv {

class TimeBase {
public:
    virtual ~TimeBase() = default;

    virtual std::uint64_t TicksPerSecond() const = 0;
    virtual std::uint64_t Now() = 0;
    virtual void SleepMs(std::uint32_t ms) = 0;
    // Busy-waits until at least `ticks` have passed.
    virtual void Spin(std::uint64_t ticks) = 0;
};

// The values derived once from the counter frequency and shared by every wait.
struct TimeValues {
    std::uint64_t ticksPerSecond = 0;
    std::uint64_t ticksPerMs = 0;
    // Ticks in 400 ns, rounded, and never below 2.
    std::int32_t ticksPer400ns = 2;
};

TimeValues ComputeTimeValues(std::uint64_t ticksPerSecond);

// Whole milliseconds between two counter values.
inline std::int32_t ElapsedMs(const TimeValues& tv, std::uint64_t start, std::uint64_t now) {
    if (tv.ticksPerMs == 0)
        return 0;
    return static_cast<std::int32_t>((now - start) / tv.ticksPerMs);
}

// The production clock: std::chrono::steady_clock in nanoseconds, real sleeps.
class SteadyTimeBase final : public TimeBase {
public:
    std::uint64_t TicksPerSecond() const override { return 1'000'000'000ULL; }
    std::uint64_t Now() override;
    void SleepMs(std::uint32_t ms) override;
    void Spin(std::uint64_t ticks) override;
};

} // namespace zkv
