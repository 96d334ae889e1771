#include "tools/ui/QtMainThread.h"

#include <QCoreApplication>
#include <QThread>

#include <exception>

namespace zkv {

QtMainThread::QtMainThread(QObject* parent) : QObject(parent) {}

QtMainThread::~QtMainThread() {
    if (&MainThread() == this)
        SetMainThread(nullptr);
}

void QtMainThread::Invoke(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        this,
        [&] {
            try {
                fn();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
}

void QtMainThread::Post(std::function<void()> fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void QtMainThread::ProcessEvents() {
    QCoreApplication::processEvents();
}

namespace {
QtMainThread* gScoped = nullptr;
int gScopes = 0;
IMainThread* gPrevious = nullptr;
} // namespace

ScopedQtMainThread::ScopedQtMainThread() {
    if (gScopes++ == 0) {
        gScoped = new QtMainThread;
        gPrevious = SetMainThread(gScoped);
    }
}

ScopedQtMainThread::~ScopedQtMainThread() {
    if (--gScopes == 0) {
        SetMainThread(gPrevious);
        delete gScoped;
        gScoped = nullptr;
    }
}

} // namespace zkv
