#include "platform/TimeBase.h"

#include <chrono>
#include <thread>

namespace zkv {

TimeValues ComputeTimeValues(std::uint64_t ticksPerSecond) {
    TimeValues tv;
    tv.ticksPerSecond = ticksPerSecond;
    tv.ticksPerMs = ticksPerSecond / 1000;
    auto settle =
        static_cast<std::int64_t>(static_cast<double>(ticksPerSecond) * 0.0000001 * 4 + 0.5);
    tv.ticksPer400ns = settle < 2 ? 2 : static_cast<std::int32_t>(settle);
    return tv;
}

std::uint64_t SteadyTimeBase::Now() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void SteadyTimeBase::SleepMs(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SteadyTimeBase::Spin(std::uint64_t ticks) {
    std::uint64_t start = Now();
    while (Now() - start < ticks) {
    }
}

} // namespace zkv
