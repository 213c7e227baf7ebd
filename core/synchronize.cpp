#include "core/synchronize.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <exception>

namespace bm {

bool IsMainThread()
{
    auto* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void Synchronize(const std::function<void()>& fn)
{
    if (!fn)
        return;
    if (IsMainThread()) {
        fn();
        return;
    }
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
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

} // namespace bm
