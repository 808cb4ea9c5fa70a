#include "input/pointer_injector.h"

#include "fakes.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using T = TouchPhase;
using Calls = std::vector<std::string>;

constexpr DisplayID kVirtual = 7;

class PointerInjectorTest : public ::testing::Test {
  protected:
    // 1024 x 800 points right of a 1440-point main display, top 100 points above it: the
    // normalised coordinates below are exact binary fractions of these sizes.
    PointerInjectorTest() { geometry->displays[kVirtual] = Rect{1440, -100, 1024, 800}; }

    void touch(TouchPhase phase, float x, float y) {
        injector.injectTouch(static_cast<uint8_t>(phase), kVirtual, x, y);
    }
    // The mouse events posted since the last call.
    Calls posted() { return std::exchange(poster->mouse, {}); }
    // A press and release at (0.25, 0.5), `gap` later another press `dx` points to the right;
    // the second press's click count.
    int secondPress(Duration gap, float dx) {
        touch(T::down, 0.25f, 0.5f);
        touch(T::up, 0.25f, 0.5f);
        clock.advance(gap);
        touch(T::down, 0.25f + dx / 1024, 0.5f);
        const Calls calls = posted();
        return std::stoi(calls.back().substr(calls.back().find('#') + 1));
    }

    ManualClock clock;
    std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
    std::shared_ptr<FakeGeometry> geometry = std::make_shared<FakeGeometry>();
    PointerInjector injector{poster, geometry, clock};
};

TEST_F(PointerInjectorTest, TouchesMapToTheDisplayWithoutClamping) {
    touch(T::down, 0.5f, 0.25f);
    touch(T::hover, 1.0f, 1.0f);
    touch(T::hover, 0.0f, 0.0f);
    EXPECT_EQ(posted(), (Calls{"move 1952,100 on 7", "down 1952,100 #1 on 7", "move 2464,700 on 7",
                               "move 1440,-100 on 7"}));
}

TEST_F(PointerInjectorTest, DoubleClickCarriesCountTwoThroughDragAndUp) {
    touch(T::down, 0.25f, 0.5f);
    touch(T::up, 0.25f, 0.5f);
    clock.advance(400ms);
    touch(T::down, 0.25f + 5.0f / 1024, 0.5f);  // 5 points to the right
    touch(T::drag, 0.5f, 0.5f);
    touch(T::up, 0.5f, 0.5f);
    EXPECT_EQ(posted(), (Calls{"move 1696,300 on 7", "down 1696,300 #1 on 7", "up 1696,300 #1 on 7",
                               "move 1701,300 on 7", "down 1701,300 #2 on 7",
                               "drag 1952,300 #2 on 7", "up 1952,300 #2 on 7"}));
    EXPECT_EQ(injector.lastClickState(), 2);
}

// Both limits, 0.5 s and 8 points, are inclusive; just past either one the count starts over.
// It has no upper limit, and only presses are compared.
TEST_F(PointerInjectorTest, ClickCounting) {
    const std::tuple<Duration, float, int> cases[] = {
        {500ms, 8.0f, 2}, {510ms, 0.0f, 1}, {100ms, 8.01f, 1}, {0ms, 0.0f, 2}};
    for (const auto& [gap, dx, count] : cases) {
        injector.resetInjectionState();
        EXPECT_EQ(secondPress(gap, dx), count) << gap.count() << " ns, " << dx << " points";
    }
    injector.resetInjectionState();
    for (int i = 0; i < 4; ++i) {
        touch(T::down, 0.25f, 0.5f);
        touch(T::drag, 0.9f, 0.9f);  // dragging far away does not matter
        touch(T::hover, 0.9f, 0.9f);
        touch(T::up, 0.9f, 0.9f);
        clock.advance(100ms);
    }
    EXPECT_EQ(injector.clickCounter().count, 4);
    EXPECT_EQ(injector.lastClickState(), 4);
}

// A press in the top 33 points of the right half suppresses its whole sequence, up included.
TEST_F(PointerInjectorTest, GuardStrip) {
    touch(T::down, 0.75f, 20.0f / 800);
    EXPECT_TRUE(injector.touchSuppressed());
    touch(T::drag, 0.5f, 0.5f);
    touch(T::hover, 0.5f, 0.5f);
    touch(T::up, 0.5f, 0.5f);
    EXPECT_EQ(posted(), Calls{});
    EXPECT_FALSE(injector.touchSuppressed());
    EXPECT_FALSE(injector.clickCounter().lastTime) << "never reached the counter";
    touch(T::down, 0.5f, 0.5f);  // the next sequence is handled normally
    EXPECT_EQ(posted().size(), 2u);

    geometry->displays[kVirtual] = Rect{0, 0, 1024, 1024};
    const std::tuple<float, float, bool> boundaries[] = {{0.5f, 0.0f, true},
                                                         {0.75f, 34.0f / 1024, true},
                                                         {0.75f, 33.0f / 1024, false},
                                                         {1.0f, 0.0f, false},
                                                         {0.25f, 0.0f, true}};
    for (const auto& [x, y, injected] : boundaries) {
        injector.resetInjectionState();
        touch(T::down, x, y);
        EXPECT_EQ(!posted().empty(), injected) << x << ", " << y * 1024;
    }
}

TEST_F(PointerInjectorTest, SecondaryClickRules) {
    // Outside the strip, nothing suppressed: move with the right button, press, release.
    touch(T::secondaryClick, 0.25f, 0.5f);
    EXPECT_EQ(posted(), (Calls{"move 1696,300 right on 7", "rightDown 1696,300 #1 on 7",
                               "rightUp 1696,300 #1 on 7"}));
    // Inside the strip: dropped even though no sequence is suppressed; outside it while a
    // suppressed sequence is open: dropped too.
    touch(T::secondaryClick, 0.75f, 10.0f / 800);
    EXPECT_FALSE(injector.touchSuppressed());
    touch(T::down, 0.75f, 10.0f / 800);
    touch(T::secondaryClick, 0.25f, 0.5f);
    EXPECT_EQ(posted(), Calls{});
    EXPECT_FALSE(injector.clickCounter().lastTime) << "right clicks are not counted";
}

TEST_F(PointerInjectorTest, NewSessionForgetsTheCounterAndTheSuppression) {
    touch(T::up, 0.5f, 0.5f);  // an up without a down carries the current count
    EXPECT_EQ(posted(), Calls{"up 1952,300 #1 on 7"});
    touch(T::down, 0.25f, 0.5f);
    touch(T::up, 0.25f, 0.5f);
    touch(T::down, 0.25f, 0.5f);
    EXPECT_EQ(injector.lastClickState(), 2);
    touch(T::down, 0.75f, 0.0f);  // suppressed, and its up never comes
    injector.resetInjectionState();
    EXPECT_EQ(poster->resets, 1);  // the backend's carried scroll goes too
    EXPECT_FALSE(injector.touchSuppressed());
    EXPECT_EQ(injector.lastClickState(), 1);
    EXPECT_EQ(injector.clickCounter().count, 0);
    EXPECT_FALSE(injector.clickCounter().lastTime);
    posted();
    touch(T::up, 0.25f, 0.5f);  // first touch of the session
    clock.advance(100ms);
    touch(T::down, 0.25f, 0.5f);  // same place, well within 0.5 s of the last press
    EXPECT_EQ(posted(),
              (Calls{"up 1696,300 #1 on 7", "move 1696,300 on 7", "down 1696,300 #1 on 7"}));
}

TEST_F(PointerInjectorTest, TouchesWithTheDisplayGoneOrAnUnknownPhaseChangeNothing) {
    injector.injectTouch(5, kVirtual, 0.5f, 0.5f);
    injector.injectTouch(255, kVirtual, 0.5f, 0.5f);
    touch(T::down, 0.25f, 0.5f);
    touch(T::up, 0.25f, 0.5f);
    const auto counter = injector.clickCounter();
    geometry->displays.erase(kVirtual);
    posted();
    for (uint8_t phase = 0; phase <= 4; ++phase)
        injector.injectTouch(phase, kVirtual, 0.75f, 0);
    geometry->displays[kVirtual] = Rect{0, 0, 1024, 0};  // a zero-height display is gone too
    touch(T::down, 0.25f, 0.5f);
    EXPECT_EQ(posted(), Calls{});
    EXPECT_FALSE(injector.touchSuppressed());
    EXPECT_EQ(injector.clickCounter().count, counter.count);
    EXPECT_EQ(injector.clickCounter().lastTime, counter.lastTime);
}

TEST_F(PointerInjectorTest, AFailedEventDoesNotStopTheNext) {
    poster->failing = {MouseEventType::mouseMoved, MouseEventType::rightMouseDown};
    touch(T::down, 0.5f, 0.5f);
    touch(T::secondaryClick, 0.25f, 0.5f);
    EXPECT_EQ(posted(), (Calls{"down 1952,300 #1 on 7", "rightUp 1696,300 #1 on 7"}));
    EXPECT_EQ(injector.lastClickState(), 1);
}

TEST_F(PointerInjectorTest, ReleasingAHeldButtonLetsGoOnceWhereTheDragEnded) {
    clock.advance(1s);
    touch(T::down, 0.25f, 0.25f);
    touch(T::down, 0.25f, 0.25f);  // a double press: the release carries its count
    touch(T::drag, 0.5f, 0.5f);
    posted();
    injector.releaseHeldButton();
    injector.releaseHeldButton();
    // On the display it went down on, so that the backend keeps it there.
    EXPECT_EQ(posted(), Calls{"up 1952,300 #2 on 7"});

    // Nothing when no button is held: no touch, a complete click, hover and right click only, a
    // press that could not be posted, a suppressed sequence.
    const std::pair<std::vector<std::pair<T, float>>, bool> cases[] = {
        {{}, false},
        {{{T::down, 0.25f}, {T::up, 0.25f}}, false},
        {{{T::hover, 0.25f}, {T::secondaryClick, 0.25f}}, false},
        {{{T::down, 0.25f}}, true},
        {{{T::down, 0.75f}, {T::drag, 0.8f}}, false},
    };
    for (const auto& [touches, pressFails] : cases) {
        poster->failing = {};
        if (pressFails) poster->failing = {MouseEventType::leftMouseDown};
        injector.resetInjectionState();
        for (auto [phase, x] : touches)
            touch(phase, x, 0.01f);
        posted();
        injector.releaseHeldButton();
        EXPECT_EQ(posted(), Calls{}) << touches.size();
    }
}

TEST_F(PointerInjectorTest, ScrollRemaindersCarryOverUntilTheNextSession) {
    // Per step: dx, dy, the wheel clicks posted (vertical, horizontal), the remainders.
    struct Step {
        float dx, dy;
        std::vector<std::pair<int32_t, int32_t>> posted;
        double remainderX, remainderY;
    };
    const std::vector<Step> cases[] = {
        {{0.6f, 0, {}, 0.6, 0}, {0.6f, 0, {{0, 1}}, 0.2, 0}},
        {{-0.6f, 0, {}, -0.6, 0}, {-0.6f, 0, {{0, -1}}, -0.2, 0}},
        {{0.6f, 0, {}, 0.6, 0}, {-0.3f, 0, {}, 0.3, 0}},
        {{0, 5000, {{5000, 0}}, 0, 0}},
        {{2.5f, -3.75f, {{-3, 2}}, 0.5, -0.75}},
    };
    for (const auto& steps : cases) {
        injector.resetInjectionState();
        for (const Step& step : steps) {
            poster->scrolls.clear();
            injector.injectScroll(step.dx, step.dy);
            EXPECT_EQ(poster->scrolls, step.posted) << step.dx << ", " << step.dy;
            // Floats widened to double: 0.6f is 0.60000002384…
            EXPECT_NEAR(injector.remainderX(), step.remainderX, 1e-6);
            EXPECT_NEAR(injector.remainderY(), step.remainderY, 1e-6);
        }
    }
    injector.resetInjectionState();
    EXPECT_EQ(injector.remainderX(), 0);
    injector.injectScroll(0.2f, -0.2f);
    EXPECT_EQ(injector.remainderX(), 0.2f);
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
    EXPECT_EQ(poster->mouse, Calls{"move 50,50 on 7"});
    EXPECT_EQ(poster->scrolls, (std::vector<std::pair<int32_t, int32_t>>{{0, 1}}));
    installInjectionBackends({});
}

}  // namespace
}  // namespace panelora::test
