// Waits for a condition that another thread or process makes true.
#pragma once

#include <chrono>
#include <thread>

namespace panelora::test {

// Polls `done` every 2 ms until it holds (true) or `timeout` has passed (false).
template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace panelora::test
