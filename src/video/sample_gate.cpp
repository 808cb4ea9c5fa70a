#include "video/sample_gate.h"

#include <algorithm>

namespace panelora {

// Tells the gate when its sample was handled, or dropped with the queue.
struct SampleGate::Done {
    std::weak_ptr<SampleGate> gate;
    ~Done() {
        if (auto g = gate.lock()) g->done();
    }
};

std::shared_ptr<SampleGate> SampleGate::create(std::shared_ptr<SerialQueue> queue, Handler onSample,
                                               int limit) {
    return std::shared_ptr<SampleGate>(
        new SampleGate(std::move(queue), std::move(onSample), limit));
}

SampleGate::SampleGate(std::shared_ptr<SerialQueue> queue, Handler onSample, int limit)
    : queue_(std::move(queue)), onSample_(std::move(onSample)), limit_(std::max(1, limit)) {}

void SampleGate::offer(CaptureSample sample) {
    {
        // Wait or post under the lock that done() takes: a sample finishing between the check
        // and the wait would find nothing waiting, and the newest picture would stay behind
        // until the next one came, which a still desktop never sends.
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        if (outstanding_ >= limit_) {
            waiting_ = std::move(sample);  // the newest wins
            return;
        }
        ++outstanding_;
    }
    post(std::move(sample));
}

void SampleGate::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    waiting_.reset();
}

void SampleGate::post(CaptureSample sample) {
    // Made in place: a temporary Done would tell the gate as it goes.
    auto done = std::make_shared<Done>();
    done->gate = weak_from_this();
    queue_->post([onSample = onSample_, sample = std::move(sample), done = std::move(done)] {
        if (onSample) onSample(sample);
    });
}

void SampleGate::done() {
    std::optional<CaptureSample> next;
    {
        std::lock_guard lock(mutex_);
        --outstanding_;
        if (!waiting_ || stopped_) return;
        next.swap(waiting_);
        ++outstanding_;
    }
    post(std::move(*next));
}

}  // namespace panelora
