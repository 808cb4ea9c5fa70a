// The main thread's queue: the Controller, the menu, the display arrangement and the cursor
// image checks run there. The application installs its run loop's queue at start-up; before
// that (and in tests that install nothing) a queue with its own thread stands in.
#pragma once

#include <memory>

#include "support/serial_queue.h"

namespace panelora {

std::shared_ptr<SerialQueue> mainQueue();
void setMainQueue(std::shared_ptr<SerialQueue> queue);

}  // namespace panelora
