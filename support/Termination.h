// The program-wide termination request: SIGTERM, SIGINT or SIGHUP arrived.
//
// Set from a signal handler (an atomic store of a lock-free flag is async-signal-safe) and read
// by whatever must not start anything new once the program is ending: the start-up stops where
// it stands, no question is put to the user any more, and a question still open is answered as
// refused.
#pragma once

#include <atomic>

namespace zkv {

inline std::atomic<bool> gTerminationRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

inline void RequestTermination() noexcept {
    gTerminationRequested.store(true, std::memory_order_relaxed);
}

inline bool TerminationRequested() noexcept {
    return gTerminationRequested.load(std::memory_order_relaxed);
}

} // namespace zkv
