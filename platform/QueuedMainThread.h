// A main thread without a window system: synchronised calls from other threads wait in a queue
// until the main thread handles them in ProcessEvents (or WaitForCalls). Command-line programs,
// benchmarks and tests that run workers use it; the desktop client has its own, over Qt.
#pragma once

#include "platform/MainThread.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace zkv {

class QueuedMainThread final : public IMainThread {
public:
    // The constructing thread is the main thread.
    QueuedMainThread();
    // Posted calls that never ran are dropped.
    ~QueuedMainThread() override;
    QueuedMainThread(const QueuedMainThread&) = delete;
    QueuedMainThread& operator=(const QueuedMainThread&) = delete;

    void Invoke(const std::function<void()>& fn) override;
    void Post(std::function<void()> fn) override;
    void ProcessEvents() override;
    // Waits up to `timeout` for a call to arrive, then handles all waiting calls. Returns how
    // many were handled.
    int WaitForCalls(std::chrono::milliseconds timeout);
    bool OnMainThread() const { return std::this_thread::get_id() == main_; }
    // Readable while calls wait: a main loop that sleeps in poll() on its sockets adds this
    // descriptor and calls ProcessEvents when it is readable, as a window system's loop would.
    int WakeFd() const { return wakeFd_; }

private:
    struct Call {
        const std::function<void()>* fn;
        bool done = false;
        std::exception_ptr error;
        // A posted call owns its function and is deleted once it has run.
        std::function<void()> owned;
        bool posted = false;
    };
    int RunQueued();
    // Under lock_: appends `call` and wakes the main thread.
    void Queue(Call* call);

    void Wake();

    std::thread::id main_;
    int wakeFd_ = -1;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::condition_variable finished_;
    std::deque<Call*> calls_;
};

} // namespace zkv
