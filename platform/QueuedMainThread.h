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
    QueuedMainThread() : main_(std::this_thread::get_id()) {}

    void Invoke(const std::function<void()>& fn) override;
    void ProcessEvents() override;
    // Waits up to `timeout` for a call to arrive, then handles all waiting calls. Returns how
    // many were handled.
    int WaitForCalls(std::chrono::milliseconds timeout);
    bool OnMainThread() const { return std::this_thread::get_id() == main_; }

private:
    struct Call {
        const std::function<void()>* fn;
        bool done = false;
        std::exception_ptr error;
    };
    int RunQueued();

    std::thread::id main_;
    std::mutex lock_;
    std::condition_variable arrived_;
    std::condition_variable finished_;
    std::deque<Call*> calls_;
};

} // namespace zkv
