// The desktop client's IMainThread: synchronised calls into the GUI thread through Qt's event
// loop.
//
// Invoke from a worker thread posts the function to the GUI thread as a blocking queued call
// and returns once it has run there (an exception it throws is rethrown in the caller); on the
// GUI thread itself it runs the function at once. The GUI thread must therefore keep handling
// events (ProcessEvents) while it waits for a worker that may call Invoke.
#pragma once

#include "platform/MainThread.h"

#include <QObject>

namespace zkv {

class QtMainThread final : public QObject, public IMainThread {
    Q_OBJECT
public:
    // Create on the GUI thread: the object's thread is where Invoke runs its functions.
    explicit QtMainThread(QObject* parent = nullptr);
    // Takes itself out of MainThread() if it is installed there.
    ~QtMainThread() override;

    void Invoke(const std::function<void()>& fn) override;
    // A queued call on the GUI thread's event loop: runs after what was posted or invoked before.
    void Post(std::function<void()> fn) override;
    void ProcessEvents() override;
};

// Installs one QtMainThread for the program while an instance of this class lives (nested
// instances share it). Create on the GUI thread.
class ScopedQtMainThread {
public:
    ScopedQtMainThread();
    ~ScopedQtMainThread();
    ScopedQtMainThread(const ScopedQtMainThread&) = delete;
    ScopedQtMainThread& operator=(const ScopedQtMainThread&) = delete;
};

} // namespace zkv
