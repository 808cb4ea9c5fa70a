#include "test_prelude.h"  // first: gtest before Xlib, whose macros break its templates

#include "platform/linux/x11/x11_display_geometry.h"

namespace panelora {
namespace {

using Layout = X11DisplayGeometry::Layout;
using Output = X11DisplayGeometry::Output;
using Changes = std::vector<std::pair<DisplayID, uint32_t>>;

// Outputs as {id, x, y, width, height} in the root window.
Layout layout(std::vector<std::array<int, 5>> outputs, DisplayID main) {
    Layout l;
    for (auto [id, x, y, w, h] : outputs) {
        Output o;
        o.id = o.output = DisplayID(id);
        o.crtc = DisplayID(id) + 100;
        o.x = x, o.y = y, o.width = w, o.height = h;
        l.outputs.push_back(o);
        if (o.id == main) l.originX = x, l.originY = y;
    }
    l.mainID = main;
    return l;
}

TEST(X11DisplayGeometryChanges, ReportsWhatChangedInGlobalPoints) {
    using namespace DisplayChange;
    const std::array<int, 5> primary{1, 0, 0, 1920, 1080};
    const Layout start = layout({primary, {2, 1920, 0, 1024, 768}}, 1);
    struct Case {
        const char* name;
        Layout after;
        Changes expected;
        int scale = 1;
    };
    const Case cases[] = {
        {"nothing", start, {}},
        {"second moved", layout({primary, {2, 1920, 100, 1024, 768}}, 1), {{2, movedFlag}}},
        // Placed on the left: the root window shifts everything right, but the main display stays
        // at the global origin, so only the second display moved.
        {"to the left",
         layout({{1, 1024, 0, 1920, 1080}, {2, 0, 0, 1024, 768}}, 1),
         {{2, movedFlag}}},
        {"in the root only", layout({{1, 10, 20, 1920, 1080}, {2, 1930, 20, 1024, 768}}, 1), {}},
        {"resized", layout({primary, {2, 1920, 0, 800, 600}}, 1), {{2, setModeFlag}}},
        {"removed", layout({primary}, 1), {{2, removeFlag}}},
        {"added",
         layout({primary, {2, 1920, 0, 1024, 768}, {3, 0, 1080, 640, 480}}, 1),
         {{3, addFlag}}},
        // Relative to the new main display, the old one now lies to its left.
        {"main changed",
         layout({primary, {2, 1920, 0, 1024, 768}}, 2),
         {{1, movedFlag}, {2, movedFlag | setMainFlag}}},
        {"half a point at scale 2",
         layout({primary, {2, 1921, 0, 1024, 768}}, 1),
         {{2, movedFlag}},
         2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(X11DisplayGeometry::changes(start, c.after, c.scale), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace panelora
