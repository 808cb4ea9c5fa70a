// Items that other threads hand over (completions, captured frames, records), kept in order,
// with waits that wake on each.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace panelora::test {

template <class T>
class Collected {
  public:
    void add(T item) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
        changed_.notify_all();
    }
    // Until at least `count` have come; false on timeout.
    bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
    }
    std::vector<T> items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    T at(size_t i) const {
        std::lock_guard lock(mutex_);
        return items_.at(i);
    }
    T last() const {
        std::lock_guard lock(mutex_);
        return items_.back();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> items_;
};

}  // namespace panelora::test
