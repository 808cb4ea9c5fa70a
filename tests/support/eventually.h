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

// Does `act` until `done` holds (true), at most `timeout`, giving each try 250 ms: for requests
// that a system may drop while it settles (mutter drops pointer motion while a stream is paused,
// and takes a moment to show a new window's picture), so they are made again until seen.
template <class Act, class Predicate>
bool repeatUntil(Act act, Predicate done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        act();
        if (eventually(done, std::chrono::milliseconds(250))) return true;
    }
    return false;
}

}  // namespace panelora::test
