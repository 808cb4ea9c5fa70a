// A timer on a serial queue, after the dispatch timer sources the system's timers are modelled on:
// created suspended, given a deadline and an optional repeat interval, resumed once, rescheduled
// at any time (also from its own handler), cancelled for good.
//
// The owner keeps the TimerSource alive; the queue holds it only weakly, so a dropped timer never
// fires. The handler runs on the queue, never while a lock of the timer is held. Once cancel()
// has returned no firing that is not already under way starts; one that has just passed its
// check may still run its handler, so handlers hold their owners weakly and tolerate a late call.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "support/serial_queue.h"

namespace panelora {

class TimerSource : public std::enable_shared_from_this<TimerSource> {
  public:
    using Handler = std::function<void()>;

    static std::shared_ptr<TimerSource> create(std::shared_ptr<SerialQueue> queue, Handler handler);
    ~TimerSource();

    // Sets the first deadline `deadlineFromNow` after now (measured now, not at resume()), and the
    // repeat interval (none: fire once). Replaces any earlier schedule. Leeway is a hint only.
    void schedule(Duration deadlineFromNow, std::optional<Duration> interval = std::nullopt,
                  Duration leeway = Duration::zero());
    // Starts delivery. Further calls do nothing.
    void resume();
    // Stops delivery for good. Idempotent, safe from any thread.
    void cancel();

    bool isCancelled() const;
    const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

  private:
    TimerSource(std::shared_ptr<SerialQueue> queue, Handler handler);
    void armLocked();
    void fire(uint64_t generation);

    const std::shared_ptr<SerialQueue> queue_;
    const Handler handler_;

    mutable std::mutex mutex_;
    std::optional<int64_t> deadline_;   // uptime ns; guarded
    std::optional<Duration> interval_;  // guarded
    bool resumed_ = false;              // guarded
    bool cancelled_ = false;            // guarded
    uint64_t generation_ = 0;           // bumped by every (re)arm and cancel; guarded
};

}  // namespace panelora
