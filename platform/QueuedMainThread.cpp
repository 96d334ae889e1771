#include "platform/QueuedMainThread.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zkv {

void QueuedMainThread::Invoke(const std::function<void()>& fn) {
    if (OnMainThread()) {
        fn();
        return;
    }
    Call call{&fn};
    std::unique_lock lk(lock_);
    Queue(&call);
    finished_.wait(lk, [&] { return call.done; });
    if (call.error)
        std::rethrow_exception(call.error);
}

QueuedMainThread::QueuedMainThread()
    : main_(std::this_thread::get_id()), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void QueuedMainThread::Wake() {
    if (wakeFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
}

QueuedMainThread::~QueuedMainThread() {
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
    for (Call* call : calls_)
        if (call->posted)
            delete call;
}

void QueuedMainThread::Post(std::function<void()> fn) {
    if (OnMainThread()) {
        fn();
        return;
    }
    auto* call = new Call();
    call->owned = std::move(fn);
    call->fn = &call->owned;
    call->posted = true;
    std::lock_guard g(lock_);
    Queue(call);
}

void QueuedMainThread::Queue(Call* call) {
    // The wake-up descriptor is written only when the queue was empty: calls queued behind
    // others are run by the drain the first one's wake-up starts, which goes on until the queue
    // is empty.
    const bool first = calls_.empty();
    calls_.push_back(call);
    arrived_.notify_all();
    if (first)
        Wake();
}

int QueuedMainThread::RunQueued() {
    if (wakeFd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof count);
    }
    int n = 0;
    for (;;) {
        Call* call = nullptr;
        {
            std::lock_guard g(lock_);
            if (calls_.empty())
                return n;
            call = calls_.front();
            calls_.pop_front();
        }
        if (call->posted) {
            (*call->fn)();
            delete call;
            ++n;
            continue;
        }
        try {
            (*call->fn)();
        } catch (...) {
            call->error = std::current_exception();
        }
        {
            std::lock_guard g(lock_);
            call->done = true;
        }
        finished_.notify_all();
        ++n;
    }
}

void QueuedMainThread::ProcessEvents() {
    RunQueued();
}

int QueuedMainThread::WaitForCalls(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lk(lock_);
        arrived_.wait_for(lk, timeout, [this] { return !calls_.empty(); });
    }
    return RunQueued();
}

} // namespace zkv
