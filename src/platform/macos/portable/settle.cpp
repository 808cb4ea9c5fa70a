#include "platform/macos/portable/settle.h"

namespace panelora {
namespace {

struct Wait : std::enable_shared_from_this<Wait> {
    std::weak_ptr<SerialQueue> queue;
    std::function<bool()> settled;
    std::function<void(bool)> done;
    int64_t deadline = 0;
    Duration poll{};

    void check() {
        auto q = queue.lock();
        if (!q) return;
        if (settled()) return done(true);
        if (q->clock().uptimeNanos() >= deadline) return done(false);
        q->postAfter(poll, [self = shared_from_this()] { self->check(); });
    }
};

}  // namespace

void waitUntilSettled(const std::shared_ptr<SerialQueue>& queue, std::function<bool()> settled,
                      Duration timeout, Duration poll, std::function<void(bool settled)> done) {
    auto wait = std::make_shared<Wait>();
    wait->queue = queue;
    wait->settled = std::move(settled);
    wait->done = std::move(done);
    wait->deadline = queue->clock().uptimeNanos() + timeout.count();
    wait->poll = poll;
    queue->post([wait] { wait->check(); });
}

}  // namespace panelora
