#include "tools/ui/QtMainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace zkv {

void QtMainThread::Invoke(const std::function<void()>& fn) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(
        app, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void QtMainThread::ProcessEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

namespace {
QtMainThread gQtMainThread;
int gScopes = 0;
IMainThread* gPrevious = nullptr;
} // namespace

ScopedQtMainThread::ScopedQtMainThread() {
    if (gScopes++ == 0)
        gPrevious = SetMainThread(&gQtMainThread);
}

ScopedQtMainThread::~ScopedQtMainThread() {
    if (--gScopes == 0)
        SetMainThread(gPrevious);
}

} // namespace zkv
