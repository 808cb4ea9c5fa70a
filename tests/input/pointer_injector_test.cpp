#include "input/pointer_injector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "fakes.h"
#include "support/manual_clock.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;
using testing::FakeGeometry;
using testing::MouseCall;
using testing::RecordingPoster;
using testing::ScrollCall;
using T = TouchPhase;

constexpr DisplayID kVirtual = 7;

class PointerInjectorTest : public ::testing::Test {
  protected:
    PointerInjectorTest() {
        // 1024 x 800 points right of a 1440-point main display, top 100 points above it: the
        // normalised coordinates below are exact binary fractions of these sizes.
        geometry->displays[kVirtual] = Rect{1440, -100, 1024, 800};
    }

    void touch(TouchPhase phase, float x, float y) {
        injector.injectTouch(static_cast<uint8_t>(phase), kVirtual, x, y);
    }
    std::vector<MouseEventType> types() const {
        std::vector<MouseEventType> out;
        for (auto& call : poster->mouse)
            out.push_back(call.type);
        return out;
    }
    std::optional<int64_t> lastDownClickState() const {
        for (auto it = poster->mouse.rbegin(); it != poster->mouse.rend(); ++it)
            if (it->type == MouseEventType::leftMouseDown) return it->clickState;
        return std::nullopt;
    }

    ManualClock clock;
    std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
    std::shared_ptr<FakeGeometry> geometry = std::make_shared<FakeGeometry>();
    PointerInjector injector{poster, geometry, clock};
};

TEST_F(PointerInjectorTest, DownPostsMoveThenPressAtTheMappedPoint) {
    touch(T::down, 0.5f, 0.25f);
    Point at{1440 + 512, -100 + 200};
    EXPECT_EQ(poster->mouse, (std::vector<MouseCall>{
                                 {MouseEventType::mouseMoved, at, MouseButton::left, std::nullopt},
                                 {MouseEventType::leftMouseDown, at, MouseButton::left, 1},
                             }));
}

TEST_F(PointerInjectorTest, EdgesMapToTheDisplayEdgesWithoutClamping) {
    touch(T::hover, 1.0f, 1.0f);
    touch(T::hover, 0.0f, 0.0f);
    ASSERT_EQ(poster->mouse.size(), 2u);
    EXPECT_EQ(poster->mouse[0].at, (Point{2464, 700}));
    EXPECT_EQ(poster->mouse[1].at, (Point{1440, -100}));
    EXPECT_EQ(poster->mouse[0].button, MouseButton::left);
    EXPECT_EQ(poster->mouse[0].clickState, std::nullopt);
}

TEST_F(PointerInjectorTest, DoubleClickCarriesCountTwoThroughDragAndUp) {
    touch(T::down, 0.25f, 0.5f);
    touch(T::up, 0.25f, 0.5f);
    clock.advance(400ms);
    // 5 points to the right.
    touch(T::down, 0.25f + 5.0f / 1024, 0.5f);
    touch(T::drag, 0.3f, 0.5f);
    touch(T::up, 0.3f, 0.5f);
    ASSERT_EQ(poster->mouse.size(), 7u);
    EXPECT_EQ(poster->mouse[1].clickState, 1);  // first press
    EXPECT_EQ(poster->mouse[2].clickState, 1);  // its release
    EXPECT_EQ(poster->mouse[4].type, MouseEventType::leftMouseDown);
    EXPECT_EQ(poster->mouse[4].clickState, 2);
    EXPECT_EQ(poster->mouse[5].type, MouseEventType::leftMouseDragged);
    EXPECT_EQ(poster->mouse[5].clickState, 2);
    EXPECT_EQ(poster->mouse[6].type, MouseEventType::leftMouseUp);
    EXPECT_EQ(poster->mouse[6].clickState, 2);
    EXPECT_EQ(injector.lastClickState(), 2);
}

// Both limits are inclusive; just past either one the count starts over.
TEST_F(PointerInjectorTest, ClickLimitsAreInclusive) {
    struct Case {
        const char* name;
        std::chrono::milliseconds gap;
        float dxPoints;
        int64_t expected;
    };
    const Case cases[] = {
        {"0.5 s and 8 points", 500ms, 8.0f, 2},
        {"0.51 s", 510ms, 0.0f, 1},
        {"8.01 points", 100ms, 8.01f, 1},
        {"0 s and 0 points", 0ms, 0.0f, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        injector.resetInjectionState();
        touch(T::down, 0.25f, 0.5f);
        touch(T::up, 0.25f, 0.5f);
        clock.advance(c.gap);
        touch(T::down, 0.25f + c.dxPoints / 1024, 0.5f);
        EXPECT_EQ(lastDownClickState(), c.expected);
    }
}

TEST_F(PointerInjectorTest, CountHasNoUpperLimitAndComparesPressesOnly) {
    for (int i = 0; i < 4; ++i) {
        touch(T::down, 0.25f, 0.5f);
        touch(T::drag, 0.9f, 0.9f);  // dragging far away does not matter
        touch(T::hover, 0.9f, 0.9f);
        touch(T::up, 0.9f, 0.9f);
        clock.advance(100ms);
    }
    EXPECT_EQ(lastDownClickState(), 4);
    EXPECT_EQ(injector.clickCounter().count, 4);
}

TEST_F(PointerInjectorTest, GuardStripSuppressesTheWholeSequenceAndSwallowsItsUp) {
    // x 0.75, 20 points from the top.
    touch(T::down, 0.75f, 20.0f / 800);
    EXPECT_TRUE(injector.touchSuppressed());
    touch(T::drag, 0.5f, 0.5f);
    touch(T::hover, 0.5f, 0.5f);
    EXPECT_TRUE(poster->mouse.empty());
    EXPECT_FALSE(injector.clickCounter().lastTime.has_value());  // never reached the counter
    touch(T::up, 0.5f, 0.5f);
    EXPECT_TRUE(poster->mouse.empty());
    EXPECT_FALSE(injector.touchSuppressed());
    // The next sequence is handled normally.
    touch(T::down, 0.5f, 0.5f);
    touch(T::up, 0.5f, 0.5f);
    EXPECT_EQ(types(), (std::vector<MouseEventType>{MouseEventType::mouseMoved,
                                                    MouseEventType::leftMouseDown,
                                                    MouseEventType::leftMouseUp}));
}

TEST_F(PointerInjectorTest, GuardStripBoundaries) {
    geometry->displays[kVirtual] = Rect{0, 0, 1024, 1024};
    struct Case {
        const char* name;
        float x;
        float y;
        bool injected;
    };
    const Case cases[] = {
        {"x exactly 0.5 is not in the strip", 0.5f, 0.0f, true},
        {"34 points down is not in the strip", 0.75f, 34.0f / 1024, true},
        {"33 points down is", 0.75f, 33.0f / 1024, false},
        {"top right corner is", 1.0f, 0.0f, false},
        {"left half is never", 0.25f, 0.0f, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        poster->mouse.clear();
        injector.resetInjectionState();
        touch(T::down, c.x, c.y);
        EXPECT_EQ(!poster->mouse.empty(), c.injected);
    }
}

TEST_F(PointerInjectorTest, SecondaryClickRules) {
    // Outside the strip, nothing suppressed: move with the right button, press, release.
    touch(T::secondaryClick, 0.25f, 0.5f);
    Point at{1440 + 256, 300};
    EXPECT_EQ(poster->mouse, (std::vector<MouseCall>{
                                 {MouseEventType::mouseMoved, at, MouseButton::right, std::nullopt},
                                 {MouseEventType::rightMouseDown, at, MouseButton::right, 1},
                                 {MouseEventType::rightMouseUp, at, MouseButton::right, 1},
                             }));
    poster->mouse.clear();
    // Inside the strip: dropped even though no sequence is suppressed.
    touch(T::secondaryClick, 0.75f, 10.0f / 800);
    EXPECT_TRUE(poster->mouse.empty());
    EXPECT_FALSE(injector.touchSuppressed());
    // Outside the strip while a suppressed sequence is open: dropped too.
    touch(T::down, 0.75f, 10.0f / 800);
    touch(T::secondaryClick, 0.25f, 0.5f);
    EXPECT_TRUE(poster->mouse.empty());
    // Right clicks never reach the click counter.
    EXPECT_FALSE(injector.clickCounter().lastTime.has_value());
}

TEST_F(PointerInjectorTest, UpWithoutDownCarriesTheCurrentClickState) {
    touch(T::up, 0.5f, 0.5f);
    ASSERT_EQ(poster->mouse.size(), 1u);
    EXPECT_EQ(poster->mouse[0].type, MouseEventType::leftMouseUp);
    EXPECT_EQ(poster->mouse[0].clickState, 1);
}

TEST_F(PointerInjectorTest, NewSessionForgetsTheCounterAndTheSuppression) {
    touch(T::down, 0.25f, 0.5f);
    touch(T::up, 0.25f, 0.5f);
    touch(T::down, 0.25f, 0.5f);
    EXPECT_EQ(injector.lastClickState(), 2);
    touch(T::down, 0.75f, 0.0f);  // suppressed, and its up never comes
    EXPECT_TRUE(injector.touchSuppressed());

    injector.resetInjectionState();
    EXPECT_EQ(poster->resets, 1);  // the backend's carried scroll goes too
    EXPECT_FALSE(injector.touchSuppressed());
    EXPECT_EQ(injector.lastClickState(), 1);
    EXPECT_EQ(injector.clickCounter().count, 0);
    EXPECT_FALSE(injector.clickCounter().lastTime.has_value());
    poster->mouse.clear();
    touch(T::up, 0.25f, 0.5f);  // first touch of the session
    clock.advance(100ms);
    touch(T::down, 0.25f, 0.5f);  // same place, well within 0.5 s of the last press
    ASSERT_EQ(poster->mouse.size(), 3u);
    EXPECT_EQ(poster->mouse[0].clickState, 1);
    EXPECT_EQ(poster->mouse[2].clickState, 1);
}

TEST_F(PointerInjectorTest, TouchesWithTheDisplayGoneChangeNothing) {
    touch(T::down, 0.25f, 0.5f);
    touch(T::up, 0.25f, 0.5f);
    auto counterBefore = injector.clickCounter();
    geometry->displays.erase(kVirtual);
    poster->mouse.clear();
    for (uint8_t phase = 0; phase <= 4; ++phase)
        injector.injectTouch(phase, kVirtual, 0.75f, 0);
    EXPECT_TRUE(poster->mouse.empty());
    EXPECT_FALSE(injector.touchSuppressed());
    EXPECT_EQ(injector.clickCounter().count, counterBefore.count);
    EXPECT_EQ(injector.clickCounter().lastTime, counterBefore.lastTime);
    // A zero-height display counts as gone too.
    geometry->displays[kVirtual] = Rect{0, 0, 1024, 0};
    touch(T::down, 0.25f, 0.5f);
    EXPECT_TRUE(poster->mouse.empty());
}

TEST_F(PointerInjectorTest, UnknownPhaseIsIgnored) {
    injector.injectTouch(5, kVirtual, 0.5f, 0.5f);
    injector.injectTouch(255, kVirtual, 0.5f, 0.5f);
    EXPECT_TRUE(poster->mouse.empty());
}

TEST_F(PointerInjectorTest, FailedMoveDoesNotStopThePress) {
    poster->failing = {MouseEventType::mouseMoved};
    touch(T::down, 0.5f, 0.5f);
    EXPECT_EQ(types(), std::vector<MouseEventType>{MouseEventType::leftMouseDown});
    EXPECT_EQ(injector.lastClickState(), 1);
}

TEST_F(PointerInjectorTest, FailedRightPressStillPostsTheRelease) {
    poster->failing = {MouseEventType::rightMouseDown};
    touch(T::secondaryClick, 0.25f, 0.5f);
    EXPECT_EQ(types(), (std::vector<MouseEventType>{MouseEventType::mouseMoved,
                                                    MouseEventType::rightMouseUp}));
}

TEST_F(PointerInjectorTest, ReleasingAHeldButtonLetsGoWhereTheDragEnded) {
    clock.advance(1s);
    touch(T::down, 0.25f, 0.25f);
    touch(T::down, 0.25f, 0.25f);  // a double press: the release carries its count
    touch(T::drag, 0.5f, 0.5f);
    poster->mouse.clear();
    poster->mouseDisplays.clear();
    injector.releaseHeldButton();
    injector.releaseHeldButton();  // once only
    EXPECT_EQ(poster->mouse,
              (std::vector<MouseCall>{{MouseEventType::leftMouseUp, Point{1440 + 512, -100 + 400},
                                       MouseButton::left, 2}}));
    // On the display it went down on, so that the backend keeps it there.
    EXPECT_EQ(poster->mouseDisplays, std::vector<DisplayID>{kVirtual});
}

TEST_F(PointerInjectorTest, NothingIsReleasedWhenNoButtonIsHeld) {
    struct Case {
        const char* name;
        std::vector<std::pair<TouchPhase, float>> touches;
        std::set<MouseEventType> failing;
    };
    const Case cases[] = {
        {"no touch at all", {}, {}},
        {"a complete click", {{T::down, 0.25f}, {T::up, 0.25f}}, {}},
        {"hover and right click only", {{T::hover, 0.25f}, {T::secondaryClick, 0.25f}}, {}},
        {"a press that could not be posted", {{T::down, 0.25f}}, {MouseEventType::leftMouseDown}},
        {"a suppressed sequence", {{T::down, 0.75f}, {T::drag, 0.8f}}, {}},
    };
    for (const auto& c : cases) {
        poster->mouse.clear();
        poster->failing = c.failing;
        injector.resetInjectionState();
        for (auto [phase, x] : c.touches)
            touch(phase, x, 0.01f);
        poster->mouse.clear();
        injector.releaseHeldButton();
        EXPECT_TRUE(poster->mouse.empty()) << c.name;
    }
}

// ---- Scroll ----

TEST_F(PointerInjectorTest, ScrollRemaindersCarryOver) {
    struct Step {
        float dx;
        float dy;
        std::optional<ScrollCall> posted;  // wheel 1 vertical, wheel 2 horizontal
        double remainderX;
        double remainderY;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"0.6 twice", {{0.6f, 0, std::nullopt, 0.6, 0}, {0.6f, 0, ScrollCall{0, 1}, 0.2, 0}}},
        {"-0.6 twice", {{-0.6f, 0, std::nullopt, -0.6, 0}, {-0.6f, 0, ScrollCall{0, -1}, -0.2, 0}}},
        {"0.6 then -0.3", {{0.6f, 0, std::nullopt, 0.6, 0}, {-0.3f, 0, std::nullopt, 0.3, 0}}},
        {"(0, 5000)", {{0, 5000, ScrollCall{5000, 0}, 0, 0}}},
        {"(2.5, -3.75)", {{2.5f, -3.75f, ScrollCall{-3, 2}, 0.5, -0.75}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        injector.resetInjectionState();
        for (const auto& step : c.steps) {
            poster->scrolls.clear();
            injector.injectScroll(step.dx, step.dy);
            if (step.posted)
                EXPECT_EQ(poster->scrolls, std::vector<ScrollCall>{*step.posted});
            else
                EXPECT_TRUE(poster->scrolls.empty());
            // Floats widened to double: 0.6f is 0.60000002384…
            EXPECT_NEAR(injector.remainderX(), step.remainderX, 1e-6);
            EXPECT_NEAR(injector.remainderY(), step.remainderY, 1e-6);
        }
    }
}

TEST_F(PointerInjectorTest, ResetClearsScrollRemainders) {
    injector.injectScroll(0.9f, -0.9f);
    injector.resetInjectionState();
    EXPECT_EQ(injector.remainderX(), 0);
    EXPECT_EQ(injector.remainderY(), 0);
    injector.injectScroll(0.2f, -0.2f);
    EXPECT_TRUE(poster->scrolls.empty());
}

TEST(ProcessInjection, FreeFunctionsUseTheInstalledBackends) {
    injectTouch(0, kVirtual, 0.5f, 0.5f);  // nothing installed yet: nothing happens
    injectScroll(3, 3);
    resetInjectionState();

    auto poster = std::make_shared<RecordingPoster>();
    auto geometry = std::make_shared<FakeGeometry>();
    geometry->displays[kVirtual] = Rect{0, 0, 100, 100};
    installInjectionBackends({poster, geometry, nullptr});
    injectTouch(4, kVirtual, 0.5f, 0.5f);
    injectScroll(0.5f, 0);
    injectScroll(0.5f, 0);
    EXPECT_EQ(poster->mouse.size(), 1u);
    EXPECT_EQ(poster->scrolls, (std::vector<ScrollCall>{ScrollCall{0, 1}}));
    installInjectionBackends({});
}

}  // namespace
}  // namespace panelora
