#include "support/timer_source.h"

namespace panelora {

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<SerialQueue> queue,
                                                 Handler handler) {
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue), std::move(handler)));
}

TimerSource::TimerSource(std::shared_ptr<SerialQueue> queue, Handler handler)
    : queue_(std::move(queue)), handler_(std::move(handler)) {}

TimerSource::~TimerSource() = default;

void TimerSource::schedule(Duration deadlineFromNow, std::optional<Duration> interval,
                           Duration /*leeway*/) {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    deadline_ = queue_->clock().uptimeNanos() + std::max(deadlineFromNow, Duration::zero()).count();
    interval_ = interval && *interval > Duration::zero() ? interval : std::nullopt;
    armLocked();
}

void TimerSource::resume() {
    std::lock_guard lock(mutex_);
    if (resumed_ || cancelled_) return;
    resumed_ = true;
    armLocked();
}

void TimerSource::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    ++generation_;
}

bool TimerSource::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

// Posting under our own lock is fine: queues never call back into the timer while posting.
void TimerSource::armLocked() {
    uint64_t generation = ++generation_;
    if (!resumed_ || cancelled_ || !deadline_) return;
    int64_t delay = *deadline_ - queue_->clock().uptimeNanos();
    std::weak_ptr<TimerSource> weak = weak_from_this();
    queue_->postAfter(Duration(delay), [weak, generation] {
        if (auto self = weak.lock()) self->fire(generation);
    });
}

void TimerSource::fire(uint64_t generation) {
    {
        std::lock_guard lock(mutex_);
        if (cancelled_ || generation != generation_ || !deadline_) return;
        if (interval_) {
            // Keep the cadence of the original deadline; firings missed while the queue was
            // busy are coalesced into this one.
            int64_t now = queue_->clock().uptimeNanos();
            int64_t next = *deadline_ + interval_->count();
            if (next <= now) next += ((now - next) / interval_->count() + 1) * interval_->count();
            deadline_ = next;
            armLocked();
        } else {
            deadline_.reset();
            ++generation_;
        }
    }
    handler_();
}

}  // namespace panelora
