#include "platform/macos/shell/dispatch_main_queue.h"

#import <Foundation/Foundation.h>

#include <memory>

namespace panelora {

DispatchMainQueue::DispatchMainQueue() : SerialQueue("main") {}

const Clock& DispatchMainQueue::clock() const {
    return Clock::system();
}

void DispatchMainQueue::post(Task task) {
    if (!open_) return;
    auto shared = std::make_shared<Task>(std::move(task));
    dispatch_async(dispatch_get_main_queue(), ^{
      (*shared)();
    });
}

void DispatchMainQueue::postAfter(Duration delay, Task task) {
    if (delay <= Duration::zero()) return post(std::move(task));
    if (!open_) return;
    auto shared = std::make_shared<Task>(std::move(task));
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, delay.count()), dispatch_get_main_queue(), ^{
      (*shared)();
    });
}

bool DispatchMainQueue::isCurrent() const {
    return [NSThread isMainThread];
}

void DispatchMainQueue::flush() {
    if (isCurrent() || !open_) return;
    dispatch_sync(dispatch_get_main_queue(), ^{
                  });
}

void DispatchMainQueue::close() {
    open_ = false;
}

}  // namespace panelora
