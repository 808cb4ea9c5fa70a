// SupervisedSession: what the Controller needs of a streaming session, so that tests can script
// one. The real one wraps Session (sessionFactory()).
//
// Threads: the Controller calls every method on the main queue except start(), which blocks and
// runs on its background queue. The callbacks fire on the session's own threads; the Controller's
// callbacks only hop to the main queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "display/display_arrangement.h"
#include "protocol/stream_profile.h"
#include "session/session_environment.h"
#include "session/session_stats.h"

namespace panelora {

class SupervisedSession {
  public:
    virtual ~SupervisedSession() = default;

    // Called when the session ends, at most once. Set before start().
    virtual void setOnEnded(std::function<void()> handler) = 0;
    // Called with each statistics record. May be set while the session runs.
    virtual void setOnStats(std::function<void(const SessionStats&)> handler) = 0;

    // Blocks until the session streams. Nothing on success, else the error's user-facing text.
    virtual std::optional<std::string> start(bool preferSmooth, std::optional<double> scale) = 0;
    // Ends the session; idempotent, fires onEnded once.
    virtual void stop() = 0;
    // True once the session has ended (also when start() had not returned yet).
    virtual bool hasEnded() const = 0;
    virtual void moveDisplay(DisplayArrangement::Side side) = 0;
    virtual StreamProfile profile() const = 0;
};

// Creates a session on a connected socket; the factory owns the descriptor from then on (and
// closes it even when it returns nothing).
using SessionFactory = std::function<std::shared_ptr<SupervisedSession>(int fd)>;

// Real sessions, each on a fresh environment from `environment` (called on the main queue).
SessionFactory sessionFactory(std::function<SessionEnvironment()> environment);

}  // namespace panelora
