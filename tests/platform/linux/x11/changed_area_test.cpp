// What the capture grabs of a changed display: the whole of it or bands of changed rows, and
// after a failed grab (the screen being reconfigured) the same changes again.
#include "platform/linux/x11/changed_area.h"

#include "test_prelude.h"

namespace panelora {
namespace {

using Rect = ChangedArea::Rect;

// Records the grabs as "whole" or "rows <first>+<count>"; the calls numbered in `failing` fail.
struct RecordingGrabber final : ChangedArea::Grabber {
    std::vector<std::string> calls;
    std::set<size_t> failing;
    bool grabWhole() override { return record("whole"); }
    bool grabRows(int firstRow, int rows) override {
        return record("rows " + std::to_string(firstRow) + "+" + std::to_string(rows));
    }
    bool record(std::string call) {
        calls.push_back(std::move(call));
        return !failing.count(calls.size() - 1);
    }
};

// A 1000 × 800 display grabbed once, so that only what the test adds has changed.
ChangedArea grabbedDisplay() {
    ChangedArea area(1000, 800);
    RecordingGrabber grabber;
    EXPECT_TRUE(area.grab(grabber));
    EXPECT_EQ(grabber.calls, std::vector<std::string>{"whole"});
    EXPECT_TRUE(area.empty());
    return area;
}

// After a failed grab (either kind, the screen being reconfigured) every change it could not
// bring in is grabbed at the next attempt, and the converter then hears of it.
TEST(ChangedArea, WholeDisplayOrBandsOfTheChangedRowsAlsoAfterFailedGrabs) {
    struct Case {
        const char* what;
        std::vector<Rect> changes;
        std::vector<std::string> grabs;  // of the attempt that succeeds
        bool whole;
        size_t reported;  // rectangles for the converter
        int failedAttempts = 0;
        std::set<size_t> failing = {};  // grab calls, counted over the failed attempts
    };
    const Case cases[] = {
        {"nothing changed", {}, {}, false, 0},
        {"one rectangle", {{10, 20, 30, 40}}, {"rows 20+40"}, false, 1},
        {"rows close together make one band",
         {{500, 100, 10, 10}, {0, 0, 10, 10}, {0, 120, 5, 5}},
         {"rows 0+10", "rows 100+25"},
         false,
         3},
        {"clipped to the display, what is outside dropped",
         {{-50, 790, 100, 100}, {2000, 0, 5, 5}},
         {"rows 790+10"},
         false,
         1},
        {"half of the display", {{0, 0, 1000, 400}}, {"whole"}, true, 0},
        {"too many rectangles", std::vector<Rect>(65, Rect{0, 0, 1, 1}), {"whole"}, true, 0},
        {"whole-display grab failed", {{0, 0, 1000, 600}}, {"whole"}, true, 0, 1, {0}},
        {"whole-display grab failed twice", {{0, 0, 1000, 600}}, {"whole"}, true, 0, 2, {0, 1}},
        {"band grab failed", {{10, 20, 30, 40}}, {"rows 20+40"}, false, 1, 1, {0}},
        {"second of two bands failed",
         {{10, 20, 30, 40}, {0, 500, 10, 10}},
         {"rows 20+40", "rows 500+10"},
         false,
         2,
         1,
         {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ChangedArea area = grabbedDisplay();
        for (const Rect& r : c.changes)
            area.add(r);
        RecordingGrabber failing;
        failing.failing = c.failing;
        for (int i = 0; i < c.failedAttempts; ++i)
            EXPECT_FALSE(area.grab(failing));
        RecordingGrabber grabber;
        const auto grabbed = area.grab(grabber);
        ASSERT_TRUE(grabbed);
        EXPECT_EQ(grabber.calls, c.grabs);
        EXPECT_EQ(grabbed->whole, c.whole);
        EXPECT_EQ(grabbed->rects.size(), c.reported);
        EXPECT_TRUE(area.empty());
    }
}

}  // namespace
}  // namespace panelora
