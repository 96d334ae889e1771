#include "platform/QueuedMainThread.h"

namespace zkv {

void QueuedMainThread::Invoke(const std::function<void()>& fn) {
    if (OnMainThread()) {
        fn();
        return;
    }
    Call call{&fn};
    std::unique_lock lk(lock_);
    calls_.push_back(&call);
    arrived_.notify_all();
    finished_.wait(lk, [&] { return call.done; });
    if (call.error)
        std::rethrow_exception(call.error);
}

int QueuedMainThread::RunQueued() {
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
