// Pointer and scroll injection: touches from the tablet become mouse events on the virtual display,
// scroll deltas become pixel scroll-wheel events.
//
// The state (click counter, suppression flag, scroll remainders) lives in a PointerInjector. The
// application has one process-wide instance behind the free functions injectTouch, injectScroll
// and resetInjectionState, created by installInjectionBackends() at start-up; until then they do
// nothing. Tests build their own PointerInjector with fakes and a ManualClock.
//
// Threads: the session's reader thread calls injectTouch and injectScroll, one call at a time;
// the session's start calls resetInjectionState before the reader runs. The state has no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "display/display_geometry.h"
#include "input/cursor_source.h"
#include "input/event_poster.h"
#include "support/clock.h"
#include "support/geometry.h"

namespace panelora {

enum class TouchPhase : uint8_t {
    down = 0,            // left button pressed (after a move to the point)
    drag = 1,            // left-button drag
    up = 2,              // left button released
    secondaryClick = 3,  // a whole right click
    hover = 4,           // pointer move, no button
};

// Counts multi-clicks: a press within maxInterval seconds and maxDistance points of the previous
// counted press continues its count (both limits inclusive), any other press starts at 1.
struct ClickCounter {
    double maxInterval = 0.5;        // seconds
    double maxDistance = 8.0;        // points
    std::optional<double> lastTime;  // uptime seconds of the previous press
    double lastX = 0;
    double lastY = 0;
    int64_t count = 0;

    // The click count of a press at global (x, y) at `time` uptime seconds; updates the record.
    // (`register` itself is a C++ keyword.)
    int64_t registerClick(double x, double y, double time);
};

class PointerInjector {
  public:
    // The top 34 points of the right half of the virtual display: touches starting there are the
    // tablet's own controls and are not injected.
    static constexpr double guardStripHeight = 34.0;

    PointerInjector(std::shared_ptr<EventPoster> poster, std::shared_ptr<DisplayGeometry> geometry,
                    const Clock& clock);

    // phase 0…4 (others are ignored); x, y normalised to the display (0…1, top-left origin).
    void injectTouch(uint8_t phase, DisplayID displayID, float x, float y);
    // Pixel deltas; fractions are carried to the next call.
    void injectScroll(float dx, float dy);
    // Back to the starting state; run at every session start.
    void resetInjectionState();
    // Releases the left button when a touch sequence pressed it and no `up` came (the tablet
    // went away mid-drag), so that no button stays held on the system. Run by the reader thread
    // once it has stopped reading.
    void releaseHeldButton();

    bool touchSuppressed() const { return touchSuppressed_; }
    int64_t lastClickState() const { return lastClickState_; }
    const ClickCounter& clickCounter() const { return clickCounter_; }
    double remainderX() const { return remainderX_; }
    double remainderY() const { return remainderY_; }

  private:
    const std::shared_ptr<EventPoster> poster_;
    const std::shared_ptr<DisplayGeometry> geometry_;
    const Clock& clock_;

    bool touchSuppressed_ = false;
    int64_t lastClickState_ = 1;
    ClickCounter clickCounter_;
    double remainderX_ = 0;
    double remainderY_ = 0;
    std::optional<Point> heldAt_;  // where the left button went down or was last dragged to
    DisplayID heldOn_ = 0;         // the display it went down on
};

// The platform backends of the input subsystem, installed once by the application at start-up
// before any session runs. Installing creates the process-wide PointerInjector (system clock) and
// gives KeyInjectorCore::shared() its poster; the cursor tracker's plain constructor uses
// `cursor` and `geometry`.
struct InputBackends {
    std::shared_ptr<EventPoster> poster;
    std::shared_ptr<DisplayGeometry> geometry;
    std::shared_ptr<CursorSource> cursor;
};
void installInjectionBackends(InputBackends backends);
InputBackends installedInjectionBackends();

// The process-wide instance's operations (no-ops before installInjectionBackends()).
void injectTouch(uint8_t phase, DisplayID displayID, float x, float y);
void injectScroll(float dx, float dy);
void resetInjectionState();
void releaseHeldButton();

}  // namespace panelora
