// Quitting waits for the session to wind down (its virtual display goes last) before the process
// ends: this polls a condition on the main queue, without blocking it, up to a deadline.
#pragma once

#include <functional>
#include <memory>

#include "support/clock.h"
#include "support/serial_queue.h"

namespace panelora {

// Checks `settled` on `queue` at once and then every `poll` until it holds or `timeout` (by the
// queue's clock) has passed, then calls `done` there once, with whether it held. The pending
// checks live on the queue: when it drops them, `done` never comes.
void waitUntilSettled(const std::shared_ptr<SerialQueue>& queue, std::function<bool()> settled,
                      Duration timeout, Duration poll, std::function<void(bool settled)> done);

}  // namespace panelora
