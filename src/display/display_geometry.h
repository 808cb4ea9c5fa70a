// DisplayGeometry: the platform's view of the display arrangement — bounds, the main display,
// moving a display's origin, and notifications when the arrangement changes.
//
// One backend per process (X11/RandR on Linux, CoreGraphics on macOS), shared by the pointer
// injector (session reader thread), the cursor tracker (its own queue) and the display
// arrangement (main queue). bounds() and mainDisplayID() are called from all of these threads at
// once and must be thread-safe; configureOrigin() and the callback registration are used on the
// main queue only. All geometry is in global points: origin at the top-left corner of the main
// display, y growing downwards.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "support/geometry.h"

namespace panelora {

// Change flags of a reconfiguration notification, with the platform's values.
namespace DisplayChange {
inline constexpr uint32_t beginConfigurationFlag = 1;  // kCGDisplayBeginConfigurationFlag
inline constexpr uint32_t movedFlag = 2;               // kCGDisplayMovedFlag
// Further flags the Linux backends send (the core ignores them).
inline constexpr uint32_t setMainFlag = 4;  // kCGDisplaySetMainFlag: became the main display
inline constexpr uint32_t setModeFlag = 8;  // kCGDisplaySetModeFlag: size changed
inline constexpr uint32_t addFlag = 16;     // kCGDisplayAddFlag
inline constexpr uint32_t removeFlag = 32;  // kCGDisplayRemoveFlag
}  // namespace DisplayChange

class DisplayGeometry {
  public:
    // Called with the display that changed and its change flags (DisplayChange bits; others may be
    // set too and are ignored by the core). A backend sends one call per changed display; a move
    // of the display's origin carries movedFlag without beginConfigurationFlag.
    using ReconfigurationCallback = std::function<void(DisplayID display, uint32_t flags)>;
    using CallbackToken = uint64_t;

    virtual ~DisplayGeometry() = default;

    // The display's rectangle in global points; an empty Rect (zero width or height) when the
    // display does not exist (any more).
    virtual Rect bounds(DisplayID display) const = 0;

    // The display whose top-left corner is the origin of the global space.
    virtual DisplayID mainDisplayID() const = 0;

    // Moves the display's top-left corner to (x, y) global points for this login session only
    // (not written into the system's permanent display preferences). One transaction: begin a
    // configuration, set the origin, complete it; when completing fails the configuration is
    // cancelled, never left open. False when it could not be begun or completed.
    virtual bool configureOrigin(DisplayID display, int32_t x, int32_t y) = 0;

    // Registers a callback that the backend invokes on the main queue (mainQueue()) after every
    // change of the arrangement. The token is never 0. The callback is copied and kept until
    // removed; it must not be invoked after removeReconfigurationCallback() has returned, except
    // for a call already running on the main queue. Both calls are safe from any thread.
    virtual CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) = 0;
    // Unknown or already removed tokens are ignored.
    virtual void removeReconfigurationCallback(CallbackToken token) = 0;
};

// The process's backend, installed once by the application at start-up before any session runs.
// Null until then; the core does nothing with a display while it is null.
void installDisplayGeometry(std::shared_ptr<DisplayGeometry> geometry);
std::shared_ptr<DisplayGeometry> installedDisplayGeometry();

}  // namespace panelora
