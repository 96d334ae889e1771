#include "tools/ui/QtMainThread.h"

#include <QCoreApplication>
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
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace zkv
