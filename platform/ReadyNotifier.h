// Readiness of file descriptors, delivered on the main thread.
//
// The serial port (and anything else that waits on a descriptor) asks an INotifierFactory to
// watch its descriptors; the callbacks then run on the main thread, between other events, like
// the window's socket and timer events. The desktop client uses the Qt implementation
// (QSocketNotifier); tests, the drive terminal and command-line tools use PollNotifiers, a
// poll(2) loop that the caller runs.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace zkv {

// One watched descriptor; the watch ends when it is destroyed.
class IReadyNotifier {
public:
    virtual ~IReadyNotifier() = default;
    virtual void SetEnabled(bool on) = 0;
};

class INotifierFactory {
public:
    virtual ~INotifierFactory() = default;
    // Calls `onReadable` on the main thread whenever `fd` can be read (or has hung up).
    virtual std::unique_ptr<IReadyNotifier> WatchReadable(int fd,
                                                          std::function<void()> onReadable) = 0;
    // Runs `fn` on the main thread after the event being handled has finished.
    virtual void Post(std::function<void()> fn) = 0;
};

// A poll(2) loop on the calling thread. Not thread-safe: one thread creates the watches and runs
// the loop.
class PollNotifiers final : public INotifierFactory {
public:
    PollNotifiers();
    ~PollNotifiers() override;
    std::unique_ptr<IReadyNotifier> WatchReadable(int fd,
                                                  std::function<void()> onReadable) override;
    void Post(std::function<void()> fn) override;

    // Runs the posted functions, then waits up to `timeoutMs` for one descriptor and handles
    // every ready one. Returns true when anything ran.
    bool RunOnce(int timeoutMs);
    // Runs the loop until `done` returns true or `timeoutMs` passed; returns done().
    bool RunUntil(const std::function<bool()>& done, int timeoutMs);
    // Runs the loop for `ms`.
    void RunFor(int ms);

private:
    struct Watch;
    class Handle;
    std::vector<std::shared_ptr<Watch>> watches_;
    std::vector<std::function<void()>> posted_;
};

} // namespace zkv
