#include "qt_main_queue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <future>

namespace panelora {

QtMainQueue::QtMainQueue() : SerialQueue("main") {}

QtMainQueue::~QtMainQueue() {
    close();
}

const Clock& QtMainQueue::clock() const {
    return Clock::system();
}

void QtMainQueue::close() {
    std::lock_guard lock(mutex_);
    open_ = false;
}

void QtMainQueue::post(Task task) {
    // The lock keeps the application object alive from the check to the posting: close() is
    // called before it is destroyed.
    std::lock_guard lock(mutex_);
    QCoreApplication* app = QCoreApplication::instance();
    if (!open_ || !app) return;
    QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(Duration delay, Task task) {
    if (delay <= Duration::zero()) return post(std::move(task));
    // Timers belong to the thread that starts them: start it from a task on the main thread.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
    post([ms, task = std::move(task)]() mutable {
        QTimer::singleShot(ms, Qt::PreciseTimer, QCoreApplication::instance(), std::move(task));
    });
}

bool QtMainQueue::isCurrent() const {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void QtMainQueue::flush() {
    if (isCurrent()) return;
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    post([done] { done->set_value(); });
    // A closed queue drops the task: nothing would ever run, so do not wait for it.
    {
        std::lock_guard lock(mutex_);
        if (!open_) return;
    }
    future.wait();
}

}  // namespace panelora
