#include "platform/macos/input/cg_display_geometry.h"

#include <CoreGraphics/CoreGraphics.h>

#include "platform/macos/portable/callback_registry.h"
#include "support/main_queue.h"

namespace panelora {
namespace {

static_assert(DisplayChange::beginConfigurationFlag == kCGDisplayBeginConfigurationFlag);
static_assert(DisplayChange::movedFlag == kCGDisplayMovedFlag);

// CoreGraphics' callback; `userInfo` is the geometry's registry, alive while registered.
void displayReconfigured(CGDirectDisplayID display, CGDisplayChangeSummaryFlags flags,
                         void* userInfo) {
    std::weak_ptr<CallbackRegistry> registry =
        static_cast<CallbackRegistry*>(userInfo)->weak_from_this();
    mainQueue()->post([registry, display, flags] {
        if (auto callbacks = registry.lock()) {
            callbacks->notify(display, static_cast<uint32_t>(flags));
        }
    });
}

}  // namespace

CGDisplayGeometry::CGDisplayGeometry() : callbacks_(std::make_shared<CallbackRegistry>()) {
    registered_ = CGDisplayRegisterReconfigurationCallback(&displayReconfigured,
                                                           callbacks_.get()) == kCGErrorSuccess;
}

CGDisplayGeometry::~CGDisplayGeometry() {
    if (registered_) CGDisplayRemoveReconfigurationCallback(&displayReconfigured, callbacks_.get());
}

Rect CGDisplayGeometry::bounds(DisplayID display) const {
    // CGRectZero for a display that does not exist (any more).
    const CGRect rect = CGDisplayBounds(display);
    return Rect{CGRectGetMinX(rect), CGRectGetMinY(rect), CGRectGetWidth(rect),
                CGRectGetHeight(rect)};
}

DisplayID CGDisplayGeometry::mainDisplayID() const {
    return CGMainDisplayID();
}

bool CGDisplayGeometry::configureOrigin(DisplayID display, int32_t x, int32_t y) {
    CGDisplayConfigRef config = nullptr;
    if (CGBeginDisplayConfiguration(&config) != kCGErrorSuccess || !config) return false;
    CGConfigureDisplayOrigin(config, display, x, y);
    if (CGCompleteDisplayConfiguration(config, kCGConfigureForSession) != kCGErrorSuccess) {
        CGCancelDisplayConfiguration(config);
        return false;
    }
    return true;
}

DisplayGeometry::CallbackToken CGDisplayGeometry::addReconfigurationCallback(
    ReconfigurationCallback callback) {
    return callbacks_->add(std::move(callback));
}

void CGDisplayGeometry::removeReconfigurationCallback(CallbackToken token) {
    callbacks_->remove(token);
}

}  // namespace panelora
