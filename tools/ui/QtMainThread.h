// IMainThread for the Qt program: a worker's synchronised call becomes a blocking queued call
// into the application's thread; on that thread it runs at once.
#pragma once

#include "platform/MainThread.h"

namespace zkv {

class QtMainThread final : public IMainThread {
public:
    void Invoke(const std::function<void()>& fn) override;
    void ProcessEvents() override;
};

// Installs one QtMainThread for the program while an instance of this class lives (nested
// instances share it).
class ScopedQtMainThread {
public:
    ScopedQtMainThread();
    ~ScopedQtMainThread();
    ScopedQtMainThread(const ScopedQtMainThread&) = delete;
    ScopedQtMainThread& operator=(const ScopedQtMainThread&) = delete;
};

} // namespace zkv
