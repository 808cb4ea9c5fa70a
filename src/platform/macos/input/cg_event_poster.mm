#include "platform/macos/input/cg_event_poster.h"

#include <CoreGraphics/CoreGraphics.h>

#include "platform/macos/cf_ref.h"
#include "platform/macos/portable/display_edge.h"

namespace panelora {
namespace {

static_assert(static_cast<CGEventType>(MouseEventType::leftMouseDown) == kCGEventLeftMouseDown);
static_assert(static_cast<CGEventType>(MouseEventType::leftMouseUp) == kCGEventLeftMouseUp);
static_assert(static_cast<CGEventType>(MouseEventType::rightMouseDown) == kCGEventRightMouseDown);
static_assert(static_cast<CGEventType>(MouseEventType::rightMouseUp) == kCGEventRightMouseUp);
static_assert(static_cast<CGEventType>(MouseEventType::mouseMoved) == kCGEventMouseMoved);
static_assert(static_cast<CGEventType>(MouseEventType::leftMouseDragged) ==
              kCGEventLeftMouseDragged);
static_assert(static_cast<CGMouseButton>(MouseButton::left) == kCGMouseButtonLeft);
static_assert(static_cast<CGMouseButton>(MouseButton::right) == kCGMouseButtonRight);
static_assert(EventFlags::capsLock == kCGEventFlagMaskAlphaShift);
static_assert(EventFlags::shift == kCGEventFlagMaskShift);
static_assert(EventFlags::control == kCGEventFlagMaskControl);
static_assert(EventFlags::option == kCGEventFlagMaskAlternate);
static_assert(EventFlags::command == kCGEventFlagMaskCommand);

// Device pixels per point of the display's current mode; 1 when it has none.
double pixelsPerPoint(DisplayID display) {
    CFRef<CGDisplayModeRef> mode(CGDisplayCopyDisplayMode(display));
    if (!mode || CGDisplayModeGetWidth(mode.get()) == 0) return 1;
    return static_cast<double>(CGDisplayModeGetPixelWidth(mode.get())) /
           static_cast<double>(CGDisplayModeGetWidth(mode.get()));
}

Point onDisplay(DisplayID display, Point global) {
    const CGRect rect = CGDisplayBounds(display);
    const Rect bounds{CGRectGetMinX(rect), CGRectGetMinY(rect), CGRectGetWidth(rect),
                      CGRectGetHeight(rect)};
    if (bounds.isEmpty() || bounds.contains(global)) return global;
    return keepOnDisplay(global, bounds, pixelsPerPoint(display));
}

}  // namespace

bool CGEventPoster::postMouse(MouseEventType type, DisplayID display, Point global,
                              MouseButton button, std::optional<int64_t> clickState) {
    const Point at = onDisplay(display, global);
    CFRef<CGEventRef> event(CGEventCreateMouseEvent(nullptr, static_cast<CGEventType>(type),
                                                    CGPointMake(at.x, at.y),
                                                    static_cast<CGMouseButton>(button)));
    if (!event) return false;
    if (clickState) CGEventSetIntegerValueField(event.get(), kCGMouseEventClickState, *clickState);
    CGEventPost(kCGHIDEventTap, event.get());
    return true;
}

bool CGEventPoster::postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) {
    CFRef<CGEventRef> event(CGEventCreateScrollWheelEvent2(nullptr, kCGScrollEventUnitPixel, 2,
                                                           wheel1Vertical, wheel2Horizontal, 0));
    if (!event) return false;
    CGEventPost(kCGHIDEventTap, event.get());
    return true;
}

void CGEventPoster::postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) {
    CFRef<CGEventRef> event;
    {
        CFRef<CGEventSourceRef> source(CGEventSourceCreate(kCGEventSourceStateHIDSystemState));
        event = CFRef<CGEventRef>(CGEventCreateKeyboardEvent(source.get(), keyCode, isDown));
    }
    if (!event) return;
    CGEventSetFlags(event.get(), static_cast<CGEventFlags>(flags));
    if (isRepeat) CGEventSetIntegerValueField(event.get(), kCGKeyboardEventAutorepeat, 1);
    CGEventPost(kCGHIDEventTap, event.get());
}

}  // namespace panelora
