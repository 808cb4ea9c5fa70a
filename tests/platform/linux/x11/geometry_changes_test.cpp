#include "test_prelude.h"  // first: gtest before Xlib, whose macros break its templates

#include "platform/linux/x11/x11_display_geometry.h"

namespace panelora {
namespace {

using Layout = X11DisplayGeometry::Layout;
using Output = X11DisplayGeometry::Output;
using Changes = std::vector<std::pair<DisplayID, uint32_t>>;

Output output(DisplayID id, int x, int y, int w, int h) {
    Output o;
    o.id = id;
    o.output = id;
    o.crtc = id + 100;
    o.x = x;
    o.y = y;
    o.width = w;
    o.height = h;
    return o;
}

Layout layout(std::vector<Output> outputs, DisplayID main) {
    Layout l;
    l.outputs = std::move(outputs);
    l.mainID = main;
    for (const auto& o : l.outputs) {
        if (o.id == main) l.originX = o.x, l.originY = o.y;
    }
    return l;
}

TEST(X11DisplayGeometryChanges, ReportsWhatChangedInGlobalPoints) {
    using namespace DisplayChange;
    const Layout start = layout({output(1, 0, 0, 1920, 1080), output(2, 1920, 0, 1024, 768)}, 1);
    struct Case {
        const char* name;
        Layout after;
        int scale;
        Changes expected;
    };
    const Case cases[] = {
        {"nothing", start, 1, {}},
        {"second display moved down",
         layout({output(1, 0, 0, 1920, 1080), output(2, 1920, 100, 1024, 768)}, 1),
         1,
         {{2, movedFlag}}},
        // Placed on the left: the root window shifts everything right, but the main display stays
        // at the global origin, so only the second display moved.
        {"second display to the left, root shifted",
         layout({output(1, 1024, 0, 1920, 1080), output(2, 0, 0, 1024, 768)}, 1),
         1,
         {{2, movedFlag}}},
        {"whole arrangement shifted in the root window only",
         layout({output(1, 10, 20, 1920, 1080), output(2, 1930, 20, 1024, 768)}, 1),
         1,
         {}},
        {"resized",
         layout({output(1, 0, 0, 1920, 1080), output(2, 1920, 0, 800, 600)}, 1),
         1,
         {{2, setModeFlag}}},
        {"removed", layout({output(1, 0, 0, 1920, 1080)}, 1), 1, {{2, removeFlag}}},
        {"added",
         layout({output(1, 0, 0, 1920, 1080), output(2, 1920, 0, 1024, 768),
                 output(3, 0, 1080, 640, 480)},
                1),
         1,
         {{3, addFlag}}},
        {"main display changed",
         layout({output(1, 0, 0, 1920, 1080), output(2, 1920, 0, 1024, 768)}, 2),
         1,
         // Relative to the new main display, the old one now lies to its left.
         {{1, movedFlag}, {2, movedFlag | setMainFlag}}},
        {"half a point at scale 2 is a move",
         layout({output(1, 0, 0, 1920, 1080), output(2, 1921, 0, 1024, 768)}, 1),
         2,
         {{2, movedFlag}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(X11DisplayGeometry::changes(start, c.after, c.scale), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace panelora
