// Recording fakes of the input seams: the event poster and the cursor source.
#pragma once

#include <optional>
#include <set>
#include <vector>

#include "fake_geometry.h"
#include "input/cursor_source.h"
#include "input/event_poster.h"
#include "support/clock.h"

namespace panelora::test {

struct MouseCall {
    MouseEventType type;
    Point at;
    MouseButton button;
    std::optional<int64_t> clickState;
    bool operator==(const MouseCall&) const = default;
};

struct ScrollCall {
    int32_t wheel1Vertical;
    int32_t wheel2Horizontal;
    bool operator==(const ScrollCall&) const = default;
};

class RecordingPoster : public EventPoster {
  public:
    bool postMouse(MouseEventType type, DisplayID display, Point global, MouseButton button,
                   std::optional<int64_t> clickState) override {
        if (failing.count(type)) {
            failed.push_back(type);
            return false;
        }
        mouse.push_back({type, global, button, clickState});
        mouseDisplays.push_back(display);
        return true;
    }
    bool postScroll(int32_t wheel1, int32_t wheel2) override {
        scrolls.push_back({wheel1, wheel2});
        return true;
    }
    void postKey(uint16_t, bool, uint64_t, bool) override {}
    void resetState() override { ++resets; }

    std::set<MouseEventType> failing;  // events that "cannot be created"
    std::vector<MouseEventType> failed;
    std::vector<MouseCall> mouse;
    std::vector<DisplayID> mouseDisplays;  // the display of each entry of `mouse`
    int resets = 0;
    std::vector<ScrollCall> scrolls;
};

class FakeCursorSource : public CursorSource {
  public:
    explicit FakeCursorSource(const Clock& clock) : clock_(clock) {}

    std::optional<Point> location() override {
        locationCalls.push_back(clock_.uptimeNanos());
        return position;
    }
    std::optional<PlatformCursor> currentSystemCursor() override {
        currentCalls.push_back(clock_.uptimeNanos());
        return current;
    }
    std::optional<PlatformCursor> arrowCursor() override { return arrow; }

    std::optional<Point> position;
    std::optional<PlatformCursor> current;
    std::optional<PlatformCursor> arrow;
    std::vector<int64_t> locationCalls;
    std::vector<int64_t> currentCalls;

  private:
    const Clock& clock_;
};

}  // namespace panelora::test
