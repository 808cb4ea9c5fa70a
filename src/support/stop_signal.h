// A stop request that any thread can make and others can poll or wait on, woken at once by the
// request: the project's stand-in for std::stop_source / std::stop_token, which Apple's libc++
// does not have. One StopSource owns the request; tokens are cheap copies that share it and
// stay valid after the source is gone.
#pragma once

#include <chrono>
#include <memory>
#include <utility>

namespace panelora {

class StopToken {
  public:
    // A token of no source: never stopped, so waitFor() simply sleeps.
    StopToken() = default;

    bool stopRequested() const;
    // Blocks until a stop is requested or `timeout` passes; true when a stop was requested.
    bool waitFor(std::chrono::nanoseconds timeout) const;

    struct State;

  private:
    friend class StopSource;
    explicit StopToken(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

class StopSource {
  public:
    StopSource();

    // Requests the stop and wakes every waiter; safe from any thread, idempotent.
    void requestStop();
    bool stopRequested() const;
    StopToken token() const { return StopToken(state_); }

  private:
    std::shared_ptr<StopToken::State> state_;
};

}  // namespace panelora
