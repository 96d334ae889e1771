// The Qt side of descriptor readiness: QSocketNotifier for watched descriptors, a queued call
// for posted work. Everything runs on the thread that owns `context` (the main thread).
#pragma once

#include "platform/ReadyNotifier.h"

#include <QObject>

namespace zkv {

class QtNotifiers final : public INotifierFactory {
public:
    explicit QtNotifiers(QObject* context) : context_(context) {}
    std::unique_ptr<IReadyNotifier> WatchReadable(int fd,
                                                  std::function<void()> onReadable) override;
    void Post(std::function<void()> fn) override;

private:
    QObject* context_;
};

} // namespace zkv
