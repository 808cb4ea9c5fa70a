// Recording fakes of the input seams.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "display/display_geometry.h"
#include "input/cursor_source.h"
#include "input/event_poster.h"
#include "support/clock.h"

namespace panelora::testing {

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

struct KeyCall {
    uint16_t keyCode;
    bool isDown;
    uint64_t flags;
    bool isRepeat;
    bool operator==(const KeyCall&) const = default;
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
    void postKey(uint16_t keyCode, bool isDown, uint64_t flags, bool isRepeat) override {
        keys.push_back({keyCode, isDown, flags, isRepeat});
    }
    void resetState() override { ++resets; }

    std::set<MouseEventType> failing;  // events that "cannot be created"
    std::vector<MouseEventType> failed;
    std::vector<MouseCall> mouse;
    std::vector<DisplayID> mouseDisplays;  // the display of each entry of `mouse`
    int resets = 0;
    std::vector<ScrollCall> scrolls;
    std::vector<KeyCall> keys;
};

class FakeGeometry : public DisplayGeometry {
  public:
    Rect bounds(DisplayID display) const override {
        auto it = displays.find(display);
        return it == displays.end() ? Rect{} : it->second;
    }
    DisplayID mainDisplayID() const override { return mainID; }
    bool configureOrigin(DisplayID display, int32_t x, int32_t y) override {
        configured.push_back({display, x, y});
        displays[display].x = x;
        displays[display].y = y;
        return true;
    }
    CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) override {
        callbacks[++nextToken] = std::move(callback);
        return nextToken;
    }
    void removeReconfigurationCallback(CallbackToken token) override { callbacks.erase(token); }

    struct Configure {
        DisplayID display;
        int32_t x;
        int32_t y;
        bool operator==(const Configure&) const = default;
    };
    void notify(DisplayID display, uint32_t flags) {
        auto copy = callbacks;
        for (auto& [token, callback] : copy)
            callback(display, flags);
    }

    DisplayID mainID = 1;
    std::map<DisplayID, Rect> displays;
    std::vector<Configure> configured;
    std::map<CallbackToken, ReconfigurationCallback> callbacks;
    CallbackToken nextToken = 0;
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

}  // namespace panelora::testing
