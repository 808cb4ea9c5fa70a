// The main queue in tray mode: tasks run on the Qt event loop's thread, posted as queued
// invocations on the application object (so in posting order), delayed ones through precise
// single-shot timers started on that thread.
//
// post() is safe from any thread. After close() (called before the QApplication goes away)
// tasks are dropped.
#pragma once

#include <memory>
#include <mutex>

#include "support/serial_queue.h"

namespace panelora {

class QtMainQueue final : public SerialQueue {
  public:
    // Call on the thread that runs the QApplication, after it was created.
    QtMainQueue();
    ~QtMainQueue() override;

    const Clock& clock() const override;
    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    bool isCurrent() const override;
    void flush() override;

    // Drops every task from now on. Safe from any thread.
    void close();

  private:
    mutable std::mutex mutex_;
    bool open_ = true;  // guarded by mutex_
};

}  // namespace panelora
