// Serial queues: every task posted to one queue runs after the previous one has finished, in
// posting order (delayed tasks in deadline order). Each named queue of the system
// ("panelora.send", "panelora.stats", …) is one of these.
//
// SerialQueue::create() gives a queue with its own thread (built on an asio io_context). Destroying
// it runs what was already posted, drops delayed tasks that are not yet due, and joins the thread;
// when the last owner lets go of it on its own thread, the thread is detached instead and finishes
// by itself. Tests use ManualClock::makeQueue() (manual_clock.h) instead: the same interface, with
// tasks run by ManualClock::advance() on the test's thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "support/clock.h"

namespace panelora {

// Scheduling hint, after the quality-of-service classes the queues are named with.
enum class QueuePriority { userInteractive, userInitiated, normal, utility };

class SerialQueue {
  public:
    using Task = std::function<void()>;

    virtual ~SerialQueue() = default;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // The clock that postAfter() and the timers on this queue measure time with.
    virtual const Clock& clock() const = 0;

    // Safe from any thread. Tasks posted after the queue began shutting down are dropped.
    virtual void post(Task task) = 0;
    // Runs the task once `delay` has passed (at once for a delay of zero or less, behind tasks
    // already posted).
    virtual void postAfter(Duration delay, Task task) = 0;

    // True on the thread that is running one of this queue's tasks.
    virtual bool isCurrent() const = 0;

    // Blocks until every task posted before the call has run. Returns at once when called on the
    // queue itself (it could never finish). Meant for tests and teardown.
    virtual void flush() = 0;

    static std::shared_ptr<SerialQueue> create(std::string label,
                                               QueuePriority priority = QueuePriority::normal);

  protected:
    explicit SerialQueue(std::string label) : label_(std::move(label)) {}

  private:
    std::string label_;
};

// A queue whose tasks run on the thread that calls run(): the main thread's run loop when there
// is no toolkit (headless mode, tests).
class RunLoopQueue final : public SerialQueue {
  public:
    explicit RunLoopQueue(std::string label);
    ~RunLoopQueue() override;

    const Clock& clock() const override;
    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    bool isCurrent() const override;
    void flush() override;

    // Runs tasks on the calling thread until stop(). Returns at once when already stopped.
    void run();
    // Safe from any thread, also from a task.
    void stop();

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace panelora
