// The reconfiguration callbacks a DisplayGeometry backend keeps, and their delivery on the main
// queue as DisplayGeometry promises it. Safe from any thread; its own lock is never held while a
// callback runs.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "display/display_geometry.h"

namespace panelora {

class ReconfigurationCallbacks {
  public:
    using Callback = DisplayGeometry::ReconfigurationCallback;
    using Token = DisplayGeometry::CallbackToken;

    ReconfigurationCallbacks() : shared_(std::make_shared<Shared>()) {}

    Token add(Callback callback);
    void remove(Token token);
    // Posts the changes to the main queue: each to every callback still registered at its turn.
    // Nothing arrives once this object is gone.
    void deliver(std::vector<std::pair<DisplayID, uint32_t>> changes) const;

  private:
    struct Shared {
        std::mutex mutex;
        Token nextToken = 1;                                   // guarded by mutex
        std::map<Token, std::shared_ptr<Callback>> callbacks;  // guarded by mutex
    };
    std::shared_ptr<Shared> shared_;  // weakly held by the posted deliveries
};

}  // namespace panelora
