#include "app/model/WorkTimers.h"

#include <limits>

namespace zkv {

std::chrono::milliseconds WorkTimerPeriod(WorkTimer t) {
    using std::chrono::milliseconds;
    switch (t) {
    case WorkTimer::Connect:
        return milliseconds(1000);
    case WorkTimer::CheckHdd:
        return milliseconds(3000);
    case WorkTimer::Reconnect:
        return milliseconds(10000);
    case WorkTimer::Ping:
        return milliseconds(60000);
    }
    return milliseconds(0);
}

DeadlineTimers::DeadlineTimers(TimeBase& clock)
    : clock_(clock), values_(ComputeTimeValues(clock.TicksPerSecond())) {}

void DeadlineTimers::OnExpiry(WorkTimer t, std::function<void()> handler) {
    At(t).handler = std::move(handler);
}

std::uint64_t DeadlineTimers::PeriodTicks(WorkTimer t) const {
    return static_cast<std::uint64_t>(WorkTimerPeriod(t).count()) * values_.ticksPerMs;
}

void DeadlineTimers::Start(WorkTimer t) {
    Slot& s = At(t);
    s.running = true;
    s.due = clock_.Now() + PeriodTicks(t);
}

void DeadlineTimers::Stop(WorkTimer t) {
    At(t).running = false;
}

bool DeadlineTimers::Running(WorkTimer t) const {
    return At(t).running;
}

int DeadlineTimers::RunDue() {
    int fired = 0;
    for (std::size_t i = 0; i < kWorkTimerCount; ++i) {
        const auto t = static_cast<WorkTimer>(i);
        Slot& s = At(t);
        const std::uint64_t now = clock_.Now();
        if (!s.running || now < s.due)
            continue;
        s.due = now + PeriodTicks(t);
        ++fired;
        if (s.handler) {
            // The handler may replace itself; it runs from a copy.
            const auto handler = s.handler;
            handler();
        }
    }
    return fired;
}

std::int64_t DeadlineTimers::MsUntilNext() {
    const std::uint64_t now = clock_.Now();
    std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
    for (const Slot& s : slots_)
        if (s.running && s.due < next)
            next = s.due;
    if (next == std::numeric_limits<std::uint64_t>::max())
        return -1;
    if (next <= now || values_.ticksPerMs == 0)
        return 0;
    return static_cast<std::int64_t>((next - now + values_.ticksPerMs - 1) / values_.ticksPerMs);
}

} // namespace zkv
