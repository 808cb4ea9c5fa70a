// A display arrangement held in a map: what the core reads of the displays, and the origins it
// configures, recorded. Single-threaded, like the main queue that drives it.
#pragma once

#include <map>
#include <vector>

#include "display/display_geometry.h"

namespace panelora::test {

class FakeGeometry final : public DisplayGeometry {
  public:
    Rect bounds(DisplayID display) const override {
        auto it = displays.find(display);
        return it == displays.end() ? Rect{} : it->second;
    }
    DisplayID mainDisplayID() const override { return mainID; }
    bool configureOrigin(DisplayID display, int32_t x, int32_t y) override {
        configured.push_back({double(x), double(y)});
        displays[display].x = x;
        displays[display].y = y;
        return true;
    }
    CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) override {
        callbacks[++nextToken] = std::move(callback);
        return nextToken;
    }
    void removeReconfigurationCallback(CallbackToken token) override { callbacks.erase(token); }

    // Tells every registered callback, as the platform would after a change.
    void notify(DisplayID display, uint32_t flags) {
        auto copy = callbacks;
        for (auto& [token, callback] : copy)
            callback(display, flags);
    }

    DisplayID mainID = 1;
    std::map<DisplayID, Rect> displays;
    std::vector<Point> configured;  // origins, in call order
    std::map<CallbackToken, ReconfigurationCallback> callbacks;
    CallbackToken nextToken = 0;
};

}  // namespace panelora::test
