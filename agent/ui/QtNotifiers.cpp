#include "agent/ui/QtNotifiers.h"

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>

namespace zkv {

namespace {

class QtReadyNotifier final : public IReadyNotifier {
public:
    QtReadyNotifier(int fd, QObject* context, std::function<void()> onReadable)
        : notifier_(new QSocketNotifier(fd, QSocketNotifier::Read, context)) {
        QObject::connect(notifier_, &QSocketNotifier::activated, notifier_,
                         [fn = std::move(onReadable)] { fn(); });
    }
    // The watch may end inside its own callback (the port closed by an event handler): the
    // notifier is silenced at once and deleted once the event loop is back.
    ~QtReadyNotifier() override {
        if (notifier_) {
            notifier_->setEnabled(false);
            QObject::disconnect(notifier_, nullptr, nullptr, nullptr);
            notifier_->deleteLater();
        }
    }
    void SetEnabled(bool on) override {
        if (notifier_)
            notifier_->setEnabled(on);
    }

private:
    QPointer<QSocketNotifier> notifier_;
};

} // namespace

std::unique_ptr<IReadyNotifier> QtNotifiers::WatchReadable(int fd,
                                                           std::function<void()> onReadable) {
    return std::make_unique<QtReadyNotifier>(fd, context_, std::move(onReadable));
}

void QtNotifiers::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(context_, std::move(fn), Qt::QueuedConnection);
}

} // namespace zkv
