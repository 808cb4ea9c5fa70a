#include "support/main_queue.h"

#include <mutex>

namespace panelora {
namespace {

std::mutex mainMutex;
std::shared_ptr<SerialQueue>& slot() {
    static auto* queue = new std::shared_ptr<SerialQueue>;  // outlives static teardown
    return *queue;
}

}  // namespace

std::shared_ptr<SerialQueue> mainQueue() {
    std::lock_guard lock(mainMutex);
    if (!slot()) slot() = SerialQueue::create("main", QueuePriority::userInteractive);
    return slot();
}

void setMainQueue(std::shared_ptr<SerialQueue> queue) {
    {
        std::lock_guard lock(mainMutex);
        slot().swap(queue);
    }
    // The old queue goes here, unlocked: its destruction waits for its tasks, which may
    // themselves ask for the main queue.
    queue.reset();
}

}  // namespace panelora
