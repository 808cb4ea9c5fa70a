// A Session driven the way the application drives it, with what it reports kept for checks:
// how often onEnded ran and every statistics record, with waits that wake on each report.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "session/session.h"

namespace panelora::bench {

class SessionProbe : public std::enable_shared_from_this<SessionProbe> {
  public:
    // The session owns `fd` from here on.
    static std::shared_ptr<SessionProbe> create(int fd, SessionEnvironment environment);

    Session& session() { return *session_; }
    std::shared_ptr<Session> sessionPtr() const { return session_; }
    // Lets go of the session (after it ended), as the application's supervision does.
    void release() { session_.reset(); }

    int endedCount() const;
    bool waitEnded(std::chrono::milliseconds timeout);

    // Records so far, oldest first.
    std::vector<Session::Stats> stats() const;
    // Waits for a record, among those with index >= `from`, that satisfies `accept`; its index.
    std::optional<size_t> waitForStats(size_t from,
                                       const std::function<bool(const Session::Stats&)>& accept,
                                       std::chrono::milliseconds timeout);

  private:
    SessionProbe() = default;

    std::shared_ptr<Session> session_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int ended_ = 0;                      // guarded by mutex_
    std::vector<Session::Stats> stats_;  // guarded by mutex_
};

}  // namespace panelora::bench
