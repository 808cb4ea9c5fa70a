#include "input/pointer_injector.h"

#include <cmath>
#include <limits>
#include <mutex>

namespace panelora {

int64_t ClickCounter::registerClick(double x, double y, double time) {
    int64_t next = 1;
    if (lastTime && time - *lastTime <= maxInterval &&
        std::hypot(x - lastX, y - lastY) <= maxDistance && count < INT64_MAX) {
        next = count + 1;
    }
    count = next;
    lastTime = time;
    lastX = x;
    lastY = y;
    return next;
}

PointerInjector::PointerInjector(std::shared_ptr<EventPoster> poster,
                                 std::shared_ptr<DisplayGeometry> geometry, const Clock& clock)
    : poster_(std::move(poster)), geometry_(std::move(geometry)), clock_(clock) {}

void PointerInjector::injectTouch(uint8_t rawPhase, DisplayID displayID, float x, float y) {
    if (rawPhase > static_cast<uint8_t>(TouchPhase::hover) || !poster_ || !geometry_) return;
    auto phase = static_cast<TouchPhase>(rawPhase);

    Rect bounds = geometry_->bounds(displayID);
    if (!(bounds.width > 0) || !(bounds.height > 0)) return;  // the display is gone

    bool inGuardStrip = x > 0.5f && bounds.height * static_cast<double>(y) < guardStripHeight;

    switch (phase) {
        case TouchPhase::down:
            touchSuppressed_ = inGuardStrip;
            break;
        case TouchPhase::up:
            if (touchSuppressed_) {
                touchSuppressed_ = false;
                return;
            }
            break;
        case TouchPhase::secondaryClick:
            if (inGuardStrip) return;
            break;
        default:
            break;
    }
    if (phase != TouchPhase::up && touchSuppressed_) return;

    Point at{bounds.minX() + bounds.width * static_cast<double>(x),
             bounds.minY() + bounds.height * static_cast<double>(y)};

    switch (phase) {
        case TouchPhase::down:
            lastClickState_ = clickCounter_.registerClick(at.x, at.y, clock_.uptimeSeconds());
            // A failed move does not stop the press: the press carries the position itself.
            poster_->postMouse(MouseEventType::mouseMoved, displayID, at, MouseButton::left, std::nullopt);
            if (poster_->postMouse(MouseEventType::leftMouseDown, displayID, at, MouseButton::left,
                                   lastClickState_)) {
                heldAt_ = at;
                heldOn_ = displayID;
            }
            break;
        case TouchPhase::drag:
            if (poster_->postMouse(MouseEventType::leftMouseDragged, displayID, at, MouseButton::left,
                                   lastClickState_) &&
                heldAt_) {
                heldAt_ = at;
            }
            break;
        case TouchPhase::up:
            poster_->postMouse(MouseEventType::leftMouseUp, displayID, at, MouseButton::left, lastClickState_);
            heldAt_.reset();
            break;
        case TouchPhase::secondaryClick:
            // Each event of the click is tried even when an earlier one could not be created,
            // so a created press is always followed by its release.
            poster_->postMouse(MouseEventType::mouseMoved, displayID, at, MouseButton::right, std::nullopt);
            poster_->postMouse(MouseEventType::rightMouseDown, displayID, at, MouseButton::right, 1);
            poster_->postMouse(MouseEventType::rightMouseUp, displayID, at, MouseButton::right, 1);
            break;
        case TouchPhase::hover:
            poster_->postMouse(MouseEventType::mouseMoved, displayID, at, MouseButton::left, std::nullopt);
            break;
    }
}

namespace {

// Truncation toward zero into int32. The decoder clamps deltas to ±5000 and the remainder stays
// within ±1, so the sum always fits; the clamp only guards direct callers.
int32_t truncateToInt32(double value) {
    double truncated = std::trunc(value);
    if (truncated >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (truncated <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(truncated);
}

}  // namespace

void PointerInjector::injectScroll(float dx, float dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) return;
    double sumX = remainderX_ + static_cast<double>(dx);
    int32_t wholeX = truncateToInt32(sumX);
    double sumY = remainderY_ + static_cast<double>(dy);
    int32_t wholeY = truncateToInt32(sumY);
    // Stored before posting: the fractions carry over also when nothing is posted.
    remainderX_ = sumX - wholeX;
    remainderY_ = sumY - wholeY;
    if (wholeX == 0 && wholeY == 0) return;
    if (poster_) poster_->postScroll(wholeY, wholeX);
}

void PointerInjector::resetInjectionState() {
    touchSuppressed_ = false;
    clickCounter_.lastTime.reset();
    clickCounter_.count = 0;
    lastClickState_ = 1;
    remainderX_ = 0;
    remainderY_ = 0;
    if (poster_) poster_->resetState();
}

namespace {

struct Installed {
    std::mutex mutex;
    InputBackends backends;
    std::shared_ptr<PointerInjector> injector;
};

Installed& installed() {
    static auto* slot = new Installed;  // outlives static teardown: reader threads may still run
    return *slot;
}

std::shared_ptr<PointerInjector> processInjector() {
    auto& slot = installed();
    std::lock_guard lock(slot.mutex);
    return slot.injector;
}

}  // namespace

void installInjectionBackends(InputBackends backends) {
    auto injector =
        std::make_shared<PointerInjector>(backends.poster, backends.geometry, Clock::system());
    auto& slot = installed();
    std::lock_guard lock(slot.mutex);
    slot.backends = std::move(backends);
    slot.injector = std::move(injector);
}

InputBackends installedInjectionBackends() {
    auto& slot = installed();
    std::lock_guard lock(slot.mutex);
    return slot.backends;
}

void PointerInjector::releaseHeldButton() {
    if (!heldAt_ || !poster_) return;
    poster_->postMouse(MouseEventType::leftMouseUp, heldOn_, *heldAt_, MouseButton::left,
                       lastClickState_);
    heldAt_.reset();
}

void injectTouch(uint8_t phase, DisplayID displayID, float x, float y) {
    if (auto injector = processInjector()) injector->injectTouch(phase, displayID, x, y);
}

void injectScroll(float dx, float dy) {
    if (auto injector = processInjector()) injector->injectScroll(dx, dy);
}

void resetInjectionState() {
    if (auto injector = processInjector()) injector->resetInjectionState();
}

void releaseHeldButton() {
    if (auto injector = processInjector()) injector->releaseHeldButton();
}

}  // namespace panelora
