#include "input/pointer_injector.h"

#include "fakes.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using T = TouchPhase;
using Calls = std::vector<std::string>;

constexpr DisplayID kVirtual = 7;

struct Touch {
    T phase;
    float x, y;
    int afterMs = 0;  // the clock moves on this much before it
};

class PointerInjectorTest : public ::testing::Test {
  protected:
    // 1024 x 800 points right of a 1440-point main display, top 100 points above it: the
    // normalised coordinates below are exact binary fractions of these sizes.
    PointerInjectorTest() { geometry->displays[kVirtual] = Rect{1440, -100, 1024, 800}; }

    // Injects the touches; the mouse events posted since the last call.
    Calls posted(const std::vector<Touch>& touches = {}) {
        for (const Touch& t : touches) {
            clock.advance(std::chrono::milliseconds(t.afterMs));
            injector.injectTouch(static_cast<uint8_t>(t.phase), kVirtual, t.x, t.y);
        }
        return std::exchange(poster->mouse, {});
    }

    ManualClock clock;
    std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
    std::shared_ptr<FakeGeometry> geometry = std::make_shared<FakeGeometry>();
    PointerInjector injector{poster, geometry, clock};
};

// Touches map to the display without clamping. A press in the top 33 points of the right half
// suppresses its whole sequence, up included, and right clicks there or while such a sequence is
// open; the next sequence is handled normally. Unknown phases do nothing.
TEST_F(PointerInjectorTest, TouchSequences) {
    const float fivePoints = 5.0f / 1024;
    const struct {
        std::vector<Touch> touches;
        Calls expected;
    } cases[] = {
        {{{T::down, 0.5f, 0.25f}, {T::hover, 1.0f, 1.0f}, {T::hover, 0.0f, 0.0f}},
         {"move 1952,100 on 7", "down 1952,100 #1 on 7", "move 2464,700 on 7",
          "move 1440,-100 on 7"}},
        {{{T::down, 0.25f, 0.5f},
          {T::up, 0.25f, 0.5f},
          {T::down, 0.25f + fivePoints, 0.5f, 400},
          {T::drag, 0.5f, 0.5f},
          {T::up, 0.5f, 0.5f}},
         {"move 1696,300 on 7", "down 1696,300 #1 on 7", "up 1696,300 #1 on 7",
          "move 1701,300 on 7", "down 1701,300 #2 on 7", "drag 1952,300 #2 on 7",
          "up 1952,300 #2 on 7"}},
        {{{T::down, 0.75f, 20.0f / 800},
          {T::drag, 0.5f, 0.5f},
          {T::hover, 0.5f, 0.5f},
          {T::secondaryClick, 0.25f, 0.5f},
          {T::up, 0.5f, 0.5f},
          {T::down, 0.5f, 0.5f}},
         {"move 1952,300 on 7", "down 1952,300 #1 on 7"}},
        {{{T::secondaryClick, 0.25f, 0.5f}, {T::secondaryClick, 0.75f, 10.0f / 800}},
         {"move 1696,300 right on 7", "rightDown 1696,300 #1 on 7", "rightUp 1696,300 #1 on 7"}},
        {{{T::up, 0.5f, 0.5f}, {T{5}, 0.5f, 0.5f}, {T{255}, 0.5f, 0.5f}},
         {"up 1952,300 #1 on 7"}},  // an up without a down carries the current count
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        injector.resetInjectionState();
        EXPECT_EQ(posted(cases[i].touches), cases[i].expected) << i;
        EXPECT_FALSE(injector.touchSuppressed()) << i;
    }
    injector.resetInjectionState();
    posted({{T::secondaryClick, 0.25f, 0.5f}});
    EXPECT_FALSE(injector.clickCounter().lastTime) << "right clicks are not counted";
}

// Both limits, 0.5 s and 8 points, are inclusive; just past either one the count starts over.
// It has no upper limit, and only presses are compared.
TEST_F(PointerInjectorTest, ClickCounting) {
    const std::tuple<int, float, const char*> cases[] = {{500, 8.0f, "down 1704,300 #2 on 7"},
                                                         {510, 0.0f, "down 1696,300 #1 on 7"},
                                                         {100, 8.01f, "down 1704,300 #1 on 7"},
                                                         {0, 0.0f, "down 1696,300 #2 on 7"}};
    for (const auto& [gapMs, dx, press] : cases) {
        injector.resetInjectionState();
        const Calls calls = posted({{T::down, 0.25f, 0.5f},
                                    {T::up, 0.25f, 0.5f},
                                    {T::down, 0.25f + dx / 1024, 0.5f, gapMs}});
        EXPECT_EQ(calls.back(), press);
    }
    injector.resetInjectionState();
    for (int i = 0; i < 4; ++i)  // dragging far away does not matter
        posted({{T::down, 0.25f, 0.5f, 100}, {T::drag, 0.9f, 0.9f}, {T::up, 0.9f, 0.9f}});
    EXPECT_EQ(injector.clickCounter().count, 4);
    EXPECT_EQ(injector.lastClickState(), 4);
}

// A suppressed press never reaches the click counter.
TEST_F(PointerInjectorTest, GuardStripBoundaries) {
    geometry->displays[kVirtual] = Rect{0, 0, 1024, 1024};
    const std::tuple<float, float, bool> cases[] = {{0.5f, 0.0f, true},
                                                    {0.75f, 34.0f / 1024, true},
                                                    {0.75f, 33.0f / 1024, false},
                                                    {1.0f, 0.0f, false},
                                                    {0.25f, 0.0f, true}};
    for (const auto& [x, y, injected] : cases) {
        injector.resetInjectionState();
        EXPECT_EQ(!posted({{T::down, x, y}}).empty(), injected) << x << ", " << y * 1024;
        EXPECT_EQ(injector.touchSuppressed(), !injected);
        EXPECT_EQ(bool(injector.clickCounter().lastTime), injected);
    }
}

// A double press, then a suppressed press whose up never comes: the new session's first up is
// posted with a count of 1, and a press at the same place well within 0.5 s counts from 1.
TEST_F(PointerInjectorTest, NewSessionForgetsTheCounterAndTheSuppression) {
    posted({{T::down, 0.25f, 0.5f},
            {T::up, 0.25f, 0.5f},
            {T::down, 0.25f, 0.5f},
            {T::down, 0.75f, 0.0f}});
    injector.resetInjectionState();
    EXPECT_EQ(poster->resets, 1);  // the backend's carried scroll goes too
    EXPECT_EQ(posted({{T::up, 0.25f, 0.5f}, {T::down, 0.25f, 0.5f, 100}}),
              (Calls{"up 1696,300 #1 on 7", "move 1696,300 on 7", "down 1696,300 #1 on 7"}));
}

TEST_F(PointerInjectorTest, TouchesWithTheDisplayGoneChangeNothing) {
    posted({{T::down, 0.25f, 0.5f}, {T::up, 0.25f, 0.5f}});
    const auto counter = injector.clickCounter();
    geometry->displays.erase(kVirtual);
    for (uint8_t phase = 0; phase <= 4; ++phase)
        injector.injectTouch(phase, kVirtual, 0.75f, 0);
    geometry->displays[kVirtual] = Rect{0, 0, 1024, 0};  // a zero-height display is gone too
    EXPECT_EQ(posted({{T::down, 0.25f, 0.5f}}), Calls{});
    EXPECT_FALSE(injector.touchSuppressed());
    EXPECT_EQ(injector.clickCounter().count, counter.count);
    EXPECT_EQ(injector.clickCounter().lastTime, counter.lastTime);
}

TEST_F(PointerInjectorTest, AFailedEventDoesNotStopTheNext) {
    poster->failing = {MouseEventType::mouseMoved, MouseEventType::rightMouseDown};
    EXPECT_EQ(posted({{T::down, 0.5f, 0.5f}, {T::secondaryClick, 0.25f, 0.5f}}),
              (Calls{"down 1952,300 #1 on 7", "rightUp 1696,300 #1 on 7"}));
    EXPECT_EQ(injector.lastClickState(), 1);
}

TEST_F(PointerInjectorTest, ReleasingAHeldButtonLetsGoOnceWhereTheDragEnded) {
    // A double press: the release carries its count, on the display it went down on.
    posted({{T::down, 0.25f, 0.25f, 1000}, {T::down, 0.25f, 0.25f}, {T::drag, 0.5f, 0.5f}});
    injector.releaseHeldButton();
    injector.releaseHeldButton();
    EXPECT_EQ(posted(), Calls{"up 1952,300 #2 on 7"});

    // Nothing when no button is held: no touch, a complete click, hover and right click only, a
    // press that could not be posted, a suppressed sequence.
    const std::pair<std::vector<Touch>, bool> cases[] = {
        {{}, false},
        {{{T::down, 0.25f, 0.01f}, {T::up, 0.25f, 0.01f}}, false},
        {{{T::hover, 0.25f, 0.01f}, {T::secondaryClick, 0.25f, 0.01f}}, false},
        {{{T::down, 0.25f, 0.01f}}, true},
        {{{T::down, 0.75f, 0.01f}, {T::drag, 0.8f, 0.01f}}, false},
    };
    for (const auto& [touches, pressFails] : cases) {
        poster->failing = {};
        if (pressFails) poster->failing = {MouseEventType::leftMouseDown};
        injector.resetInjectionState();
        posted(touches);
        injector.releaseHeldButton();
        EXPECT_EQ(posted(), Calls{}) << touches.size();
    }
}
// Each case starts a session, which forgets the remainders of the one before.
TEST_F(PointerInjectorTest, ScrollRemaindersCarryOverUntilTheNextSession) {
    // Per step: dx, dy, the wheel clicks posted (vertical, horizontal), the remainders.
    using Step = std::tuple<float, float, std::vector<std::pair<int32_t, int32_t>>, double, double>;
    const std::vector<Step> cases[] = {
        {{0.6f, 0, {}, 0.6, 0}, {0.6f, 0, {{0, 1}}, 0.2, 0}},
        {{-0.6f, 0, {}, -0.6, 0}, {-0.6f, 0, {{0, -1}}, -0.2, 0}},
        {{0.6f, 0, {}, 0.6, 0}, {-0.3f, 0, {}, 0.3, 0}},
        {{0, 5000, {{5000, 0}}, 0, 0}},
        {{2.5f, -3.75f, {{-3, 2}}, 0.5, -0.75}},
    };
    for (const auto& steps : cases) {
        injector.resetInjectionState();
        for (const auto& [dx, dy, scrolls, remainderX, remainderY] : steps) {
            poster->scrolls.clear();
            injector.injectScroll(dx, dy);
            EXPECT_EQ(poster->scrolls, scrolls) << dx << ", " << dy;
            // Floats widened to double: 0.6f is 0.60000002384…
            EXPECT_NEAR(injector.remainderX(), remainderX, 1e-6);
            EXPECT_NEAR(injector.remainderY(), remainderY, 1e-6);
        }
    }
}

}  // namespace
}  // namespace panelora::test
