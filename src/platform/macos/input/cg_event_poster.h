// Synthetic input on macOS: CoreGraphics mouse, scroll-wheel (pixel units) and keyboard events
// posted at the HID event tap. The core's event types, buttons, key codes and flags are already
// CoreGraphics' own numbers; a pointer position on the touched display's far edge is kept on its
// last pixel. Posting needs the Accessibility permission; without it the system drops the events
// silently.
//
// Stateless: any method from any thread, also at once.
#pragma once

#include "input/event_poster.h"

namespace panelora {

class CGEventPoster final : public EventPoster {
  public:
    bool postMouse(MouseEventType type, DisplayID display, Point global, MouseButton button,
                   std::optional<int64_t> clickState) override;
    bool postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) override;
    // Each event from a fresh HID-state event source, flags always set.
    void postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) override;
    // Nothing is carried between calls: the core keeps the scroll fractions.
    void resetState() override {}
};

}  // namespace panelora
