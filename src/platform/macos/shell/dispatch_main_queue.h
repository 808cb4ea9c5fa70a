// The main queue on macOS: the main dispatch queue, which the application's run loop drains on
// the main thread; delayed tasks through dispatch_after.
//
// post() from any thread. After close() (called as the application ends) tasks are dropped.
#pragma once

#include <atomic>

#include "support/serial_queue.h"

namespace panelora {

class DispatchMainQueue final : public SerialQueue {
  public:
    DispatchMainQueue();

    const Clock& clock() const override;
    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    bool isCurrent() const override;
    // Waits for the main thread; never call it from there while the main thread waits on the
    // caller (nothing in the application does).
    void flush() override;

    void close();

  private:
    std::atomic<bool> open_{true};
};

}  // namespace panelora
