// Display geometry on macOS: CoreGraphics display bounds (global points, top-left origin), the main
// display, origin moves in a display configuration transaction completed for this login session
// only, and the display reconfiguration callback.
//
// bounds() and mainDisplayID() from any thread. The reconfiguration callback is registered with
// CoreGraphics for the geometry's whole life; each notification is passed on to the registered
// callbacks on the main queue. Destroy the geometry on the main thread, after the sessions.
#pragma once

#include <memory>

#include "display/display_geometry.h"

namespace panelora {

class CallbackRegistry;

class CGDisplayGeometry final : public DisplayGeometry {
  public:
    CGDisplayGeometry();
    ~CGDisplayGeometry() override;
    CGDisplayGeometry(const CGDisplayGeometry&) = delete;
    CGDisplayGeometry& operator=(const CGDisplayGeometry&) = delete;

    Rect bounds(DisplayID display) const override;
    DisplayID mainDisplayID() const override;
    bool configureOrigin(DisplayID display, int32_t x, int32_t y) override;
    CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) override;
    void removeReconfigurationCallback(CallbackToken token) override;

  private:
    const std::shared_ptr<CallbackRegistry> callbacks_;
    bool registered_ = false;
};

}  // namespace panelora
