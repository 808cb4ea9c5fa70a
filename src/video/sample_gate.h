// SampleGate: hands a capture backend's samples to the capture queue with at most `limit` of
// them waiting or running there. While the queue is behind, the newest sample waits in one slot
// (replacing an older one) and goes out as soon as a queued one is done, so a burst ends on its
// last picture rather than on one the slot dropped.
//
// Threads: offer() from the backend's thread; samples run on the queue; stop() from any thread,
// after which nothing more is posted. Queued samples hold the gate weakly.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "support/serial_queue.h"
#include "video/screen_capturer.h"

namespace panelora {

class SampleGate : public std::enable_shared_from_this<SampleGate> {
  public:
    using Handler = std::function<void(const CaptureSample&)>;

    static std::shared_ptr<SampleGate> create(std::shared_ptr<SerialQueue> queue, Handler onSample,
                                              int limit);

    void offer(CaptureSample sample);
    void stop();

  private:
    struct Done;
    SampleGate(std::shared_ptr<SerialQueue> queue, Handler onSample, int limit);
    void post(CaptureSample sample);  // counted already
    void done();

    const std::shared_ptr<SerialQueue> queue_;
    const Handler onSample_;
    const int limit_;

    std::mutex mutex_;
    int outstanding_ = 0;                   // guarded by mutex_
    std::optional<CaptureSample> waiting_;  // guarded by mutex_
    bool stopped_ = false;                  // guarded by mutex_
};

}  // namespace panelora
