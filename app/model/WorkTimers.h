// The work form's four timers, without a window: which there are, their periods, and a set of
// them that runs on the program's TimeBase for front ends without an event loop of their own.
//
//   Connect     1 s   the connection time in the status bar counts
//   CheckHdd    3 s   the register lamps are read again
//   Reconnect  10 s   the next connection attempt after a loss
//   Ping       60 s   the keep-alive watchdog; it only measures, its expiry does nothing
#pragma once

#include "platform/TimeBase.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zkv {

enum class WorkTimer : std::uint8_t { Connect, CheckHdd, Reconnect, Ping };

inline constexpr std::size_t kWorkTimerCount = 4;

// The period of a timer; every timer repeats until it is stopped.
std::chrono::milliseconds WorkTimerPeriod(WorkTimer t);

// What the connection's life cycle does with the timers: the window's timers or DeadlineTimers.
class IWorkTimers {
public:
    virtual ~IWorkTimers() = default;
    // Starts the timer for a full period, from now, also when it was running.
    virtual void Start(WorkTimer t) = 0;
    virtual void Stop(WorkTimer t) = 0;
    virtual bool Running(WorkTimer t) const = 0;
};

// The timers on a TimeBase: RunDue fires the ones whose period has passed.
class DeadlineTimers final : public IWorkTimers {
public:
    explicit DeadlineTimers(TimeBase& clock);

    // The handler of a timer's expiry; none: the expiry only restarts the period.
    void OnExpiry(WorkTimer t, std::function<void()> handler);

    void Start(WorkTimer t) override;
    void Stop(WorkTimer t) override;
    bool Running(WorkTimer t) const override;

    // Fires each running timer that is due, once, in the order of WorkTimer; a fired timer's
    // next period starts now. A handler may start or stop timers. Returns how many fired.
    int RunDue();
    // Milliseconds until the next running timer is due (0 when one is), -1 when none runs.
    std::int64_t MsUntilNext();

private:
    struct Slot {
        bool running = false;
        std::uint64_t due = 0; // in the clock's ticks
        std::function<void()> handler;
    };
    std::uint64_t PeriodTicks(WorkTimer t) const;
    Slot& At(WorkTimer t) { return slots_[static_cast<std::size_t>(t)]; }
    const Slot& At(WorkTimer t) const { return slots_[static_cast<std::size_t>(t)]; }

    TimeBase& clock_;
    TimeValues values_;
    std::array<Slot, kWorkTimerCount> slots_{};
};

} // namespace zkv
