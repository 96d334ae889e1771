#include "platform/ReadyNotifier.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace zkv {

struct PollNotifiers::Watch {
    int fd = -1;
    bool enabled = true;
    bool alive = true;
    std::function<void()> onReadable;
};

class PollNotifiers::Handle final : public IReadyNotifier {
public:
    explicit Handle(std::shared_ptr<Watch> w) : watch_(std::move(w)) {}
    ~Handle() override { watch_->alive = false; }
    void SetEnabled(bool on) override { watch_->enabled = on; }

private:
    std::shared_ptr<Watch> watch_;
};

PollNotifiers::PollNotifiers() = default;
PollNotifiers::~PollNotifiers() = default;

std::unique_ptr<IReadyNotifier> PollNotifiers::WatchReadable(int fd,
                                                             std::function<void()> onReadable) {
    auto w = std::make_shared<Watch>();
    w->fd = fd;
    w->onReadable = std::move(onReadable);
    watches_.push_back(w);
    return std::make_unique<Handle>(std::move(w));
}

void PollNotifiers::Post(std::function<void()> fn) {
    posted_.push_back(std::move(fn));
}

bool PollNotifiers::RunOnce(int timeoutMs) {
    bool ran = false;
    // Posted work first; what it posts in turn waits for the next round.
    std::vector<std::function<void()>> posted;
    posted.swap(posted_);
    for (auto& fn : posted) {
        fn();
        ran = true;
    }
    std::erase_if(watches_, [](const std::shared_ptr<Watch>& w) { return !w->alive; });

    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Watch>> polled;
    for (const auto& w : watches_) {
        if (!w->enabled)
            continue;
        fds.push_back(pollfd{w->fd, POLLIN, 0});
        polled.push_back(w);
    }
    if (!posted_.empty())
        timeoutMs = 0;
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0)
        return ran;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        // A callback may end other watches; those are skipped.
        if (polled[i]->alive && polled[i]->enabled) {
            polled[i]->onReadable();
            ran = true;
        }
    }
    return ran;
}

bool PollNotifiers::RunUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return done();
        RunOnce(static_cast<int>(std::min<long long>(left, 20)));
    }
    return true;
}

void PollNotifiers::RunFor(int ms) {
    RunUntil([] { return false; }, ms);
}

} // namespace zkv
