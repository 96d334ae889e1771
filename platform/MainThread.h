// Synchronised calls from worker threads into the main (window) thread, and pumping the main
// thread's events while it waits.
//
// The worker threads (the ATA worker, the scan, the detection probe, the version check) never
// touch a window themselves: they hand a function to Invoke, which runs it on the main thread
// and returns when it has finished, or to Post, which returns at once (for what only updates the
// window: lamps, log lines, progress). Posted and invoked functions run in the order given. The
// desktop client installs a Qt implementation (a blocking queued invocation); tests and
// command-line tools use DirectMainThread, which runs the function on the calling thread under one
// lock, so calls from several threads never overlap.
#pragma once

#include <functional>
#include <mutex>

namespace zkv {

class IMainThread {
public:
    virtual ~IMainThread() = default;
    // Runs `fn` on the main thread and waits for it. Called on the main thread, runs it at once.
    virtual void Invoke(const std::function<void()>& fn) = 0;
    // Runs `fn` on the main thread without waiting for it, after everything posted or invoked
    // before it. `fn` must not throw. (The fallback waits; the main threads that have a queue
    // override it.)
    virtual void Post(std::function<void()> fn) { Invoke(fn); }
    // On the main thread: handles the events that are waiting (timers, sockets, windows), then
    // returns. Used by loops that wait for a worker while the window must stay alive.
    virtual void ProcessEvents() = 0;
};

class DirectMainThread final : public IMainThread {
public:
    void Invoke(const std::function<void()>& fn) override {
        std::lock_guard g(lock_);
        fn();
    }
    void ProcessEvents() override {}

private:
    std::recursive_mutex lock_;
};

// The program-wide instance (a DirectMainThread until the window installs its own).
IMainThread& MainThread();
// Installs `t` (not owned; nullptr puts back the direct one). Returns the previous one.
IMainThread* SetMainThread(IMainThread* t);

} // namespace zkv
