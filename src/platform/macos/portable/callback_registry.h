// The display geometry's reconfiguration callbacks: registered and removed from any thread,
// notified on the main queue. A notification calls each callback that is still registered when
// its turn comes, so one removed meanwhile (also by an earlier callback of the same
// notification) is never called; no lock is held while a callback runs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "display/display_geometry.h"

namespace panelora {

// Owned by a std::shared_ptr: a platform notification reaches it through a weak reference.
class CallbackRegistry : public std::enable_shared_from_this<CallbackRegistry> {
  public:
    using Token = DisplayGeometry::CallbackToken;
    using Callback = DisplayGeometry::ReconfigurationCallback;

    // Never 0, never reused.
    Token add(Callback callback);
    // Unknown tokens are ignored.
    void remove(Token token);
    void notify(DisplayID display, uint32_t flags);
    bool empty() const;

  private:
    mutable std::mutex mutex_;
    std::map<Token, Callback> callbacks_;  // guarded
    Token next_ = 1;                       // guarded
};

}  // namespace panelora
