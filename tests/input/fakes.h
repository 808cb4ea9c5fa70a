// Recording fakes of the input seams: the event poster and the cursor source.
#pragma once

#include "fake_geometry.h"
#include "input/cursor_source.h"
#include "input/event_poster.h"
#include "support/clock.h"
#include "test_prelude.h"

namespace panelora::test {

// Records mouse events as words: "down 1952,100 #1" (type, point, click state), with "right"
// after moves that carry the right button and "on 7" for a display other than 0.
class RecordingPoster final : public EventPoster {
  public:
    bool postMouse(MouseEventType type, DisplayID display, Point at, MouseButton button,
                   std::optional<int64_t> clickState) override {
        static const char* names[] = {"", "down", "up", "rightDown", "rightUp", "move", "drag"};
        std::string call = std::string(names[int(type)]) + " " + std::to_string(int(at.x)) + "," +
                           std::to_string(int(at.y));
        if (type == MouseEventType::mouseMoved && button == MouseButton::right) call += " right";
        if (clickState) call += " #" + std::to_string(*clickState);
        if (display) call += " on " + std::to_string(display);
        if (failing.count(type)) return false;
        mouse.push_back(call);
        return true;
    }
    bool postScroll(int32_t wheel1Vertical, int32_t wheel2Horizontal) override {
        scrolls.push_back({wheel1Vertical, wheel2Horizontal});
        return true;
    }
    void postKey(uint16_t, bool, uint64_t, bool) override {}
    void resetState() override { ++resets; }

    std::set<MouseEventType> failing;  // events that "cannot be created"
    std::vector<std::string> mouse;
    std::vector<std::pair<int32_t, int32_t>> scrolls;  // vertical, horizontal
    int resets = 0;
};

class FakeCursorSource final : public CursorSource {
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
