#include "platform/MainThread.h"

#include <atomic>

namespace zkv {

namespace {
DirectMainThread& Direct() {
    static DirectMainThread t;
    return t;
}
std::atomic<IMainThread*>& Installed() {
    static std::atomic<IMainThread*> t{nullptr};
    return t;
}
} // namespace

IMainThread& MainThread() {
    IMainThread* t = Installed().load();
    return t ? *t : Direct();
}

IMainThread* SetMainThread(IMainThread* t) {
    return Installed().exchange(t);
}

} // namespace zkv
