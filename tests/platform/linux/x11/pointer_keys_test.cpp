// The X11 event poster against the real server, where X11 differs from the other desktops (the
// conformance suite has what they share): drags, the far edge beside a neighbour, wheel clicks
// and modifiers as a window receives them, the key table, and nothing left pressed.
#include "system_fixture.h"  // first: gtest before the X headers

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include "input/key_injector.h"

namespace panelora::test {
namespace {

using std::chrono::milliseconds;
using X11PointerTest = X11InputTest;
using X11KeyTest = X11InputTest;

// A key event of that key code, or a button event of that button.
auto event(int type, unsigned detail) {
    return [=](const XEvent& e) {
        const bool key = type == KeyPress || type == KeyRelease;
        return e.type == type && (key ? e.xkey.keycode : e.xbutton.button) == detail;
    };
}
bool anyKeyDown(Display* d) {
    std::array<char, 32> keys{};
    XSync(d, False);
    XQueryKeymap(d, keys.data());
    return std::any_of(keys.begin(), keys.end(), [](char c) { return c != 0; });
}

// A press at a fraction of a pixel lands on the pixel it is in; a drag is motion with the button
// held; what the poster holds down when it goes, it lets go of.
TEST_F(X11PointerTest, ADragHoldsTheButtonAndThePosterLetsGoOfWhatItHoldsWhenItGoes) {
    TestWindow window(d(), 100, 100, 400, 300);
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::leftMouseDown, 0, {150.7, 160.2}, MouseButton::left, 1));
    auto press = waitForEvent(d(), event(ButtonPress, 1));
    ASSERT_TRUE(press);
    EXPECT_EQ(std::pair(press->xbutton.x, press->xbutton.y), std::pair(50, 60));
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::leftMouseDragged, 0, {200, 210}, MouseButton::left, 1));
    auto drag = waitForEvent(d(), [](const XEvent& e) {
        return e.type == MotionNotify && e.xmotion.x == 100 && e.xmotion.y == 110;
    });
    ASSERT_TRUE(drag);
    EXPECT_TRUE(drag->xmotion.state & Button1Mask);
    poster().postKey(58, true, EventFlags::option, false);
    poster().postKey(12, true, EventFlags::option, false);
    ASSERT_TRUE(waitForEvent(d(), event(KeyPress, 24)));  // Q
    EXPECT_EQ(poster().heldButtons(), std::set<unsigned>{1});
    EXPECT_EQ(poster().heldKeys().size(), 2u);
    backends_.poster.reset();
    EXPECT_TRUE(waitForEvent(d(), event(ButtonRelease, 1)));
    drainEvents(d(), milliseconds(100));
    EXPECT_FALSE(anyKeyDown(d()));
}

TEST_F(X11PointerTest, TouchesOnTheFarEdgesStayOnTheirDisplayBesideANeighbour) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    auto neighbour = enableSpare("DUMMY2", 640, 480, 1920 + 1024, 0);
    ASSERT_TRUE(spare && neighbour);
    const auto id = static_cast<DisplayID>(spare->output());
    const Rect bounds = geometry().bounds(id);
    // x = 1 and y = 1 on the tablet: the first pixel column and row past the display.
    ASSERT_TRUE(poster().postMouse(MouseEventType::mouseMoved, id, {bounds.maxX(), bounds.maxY()},
                                   MouseButton::left, {}));
    EXPECT_EQ(pointerPosition(d()), std::pair(1920 + 1023, 767));
    // Without a display the point is taken as it is: the neighbour's first column.
    ASSERT_TRUE(poster().postMouse(MouseEventType::mouseMoved, 0, {bounds.maxX(), 10},
                                   MouseButton::left, {}));
    EXPECT_EQ(pointerPosition(d()).first, 1920 + 1024);
}

// Every 40 pixels a wheel click; the rest is carried to the next scroll, and a new session starts
// from nothing.
TEST_F(X11PointerTest, ScrollPixelsBecomeWheelClicksWithTheRestCarried) {
    TestWindow window(d(), 0, 0, 400, 400);
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::mouseMoved, 0, {200, 200}, MouseButton::left, {}));
    drainEvents(d(), milliseconds(50));
    using Clicks = std::map<unsigned, int>;
    struct Case {
        int vertical, horizontal;  // content moving down and right, in pixels
        Clicks clicks;             // button: count
        int remainder;             // vertical, carried
    };
    const Case cases[] = {
        {85, 0, {{4, 2}}, 5},            // up the document
        {0, -40, {{7, 1}}, 5},           // content moves left
        {30, 0, {}, 35},                 // carried
        {-30, 39, {}, 5},                // the other way cancels what was carried
        {-50, 1, {{5, 1}, {6, 1}}, -5},  // the rest carried makes a click with the new
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.vertical) + "," + std::to_string(c.horizontal));
        ASSERT_TRUE(poster().postScroll(c.vertical, c.horizontal));
        Clicks clicks;
        for (const auto& e : drainEvents(d(), milliseconds(500)))
            if (e.type == ButtonPress) ++clicks[e.xbutton.button];
        EXPECT_EQ(clicks, c.clicks);
        EXPECT_EQ(poster().scrollRemainderVertical(), c.remainder);
    }
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);
    ASSERT_TRUE(poster().postScroll(0, 30));
    poster().resetState();
    EXPECT_EQ(poster().scrollRemainderVertical(), 0);
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);
    ASSERT_TRUE(poster().postScroll(-35, 0));
    EXPECT_TRUE(drainEvents(d(), milliseconds(500)).empty());
}

TEST_F(X11KeyTest, ControlOptionCommandAndCapsLockReachTheTarget) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(1, true, EventFlags::control | EventFlags::option | EventFlags::command,
                     false);
    auto press = waitForEvent(d(), event(KeyPress, 39));  // S
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xkey.state & (ControlMask | Mod1Mask | Mod4Mask | ShiftMask),
              unsigned(ControlMask | Mod1Mask | Mod4Mask));
    poster().postKey(1, false, 0, false);
    poster().postKey(0, true, EventFlags::capsLock, false);
    auto caps = waitForEvent(d(), event(KeyPress, 38));
    ASSERT_TRUE(caps);
    EXPECT_TRUE(caps->xkey.state & LockMask);
    EXPECT_EQ(typedKeysym(caps->xkey), KeySym(XK_A));
    poster().postKey(0, false, 0, false);
    drainEvents(d(), milliseconds(100));
    XkbStateRec state;
    ASSERT_EQ(XkbGetState(d(), XkbUseCoreKbd, &state), Success);
    EXPECT_EQ(state.locked_mods & LockMask, 0u);  // the lock was put back
    EXPECT_EQ(state.mods, 0u);
    EXPECT_FALSE(anyKeyDown(d()));
}

// HID usages as the tablet sends them, through the key table and the X key codes, to the key
// symbol the target sees (no modifiers).
TEST_F(X11KeyTest, UsagesArriveWithTheirKeysyms) {
    TestWindow window(d(), 0, 0, 200, 200);
    // clang-format off
    const std::pair<uint16_t, KeySym> cases[] = {
        {4, XK_a}, {29, XK_z}, {30, XK_1}, {39, XK_0}, {40, XK_Return}, {41, XK_Escape},
        {42, XK_BackSpace}, {44, XK_space}, {49, XK_backslash}, {53, XK_grave}, {58, XK_F1},
        {69, XK_F12}, {74, XK_Home}, {76, XK_Delete}, {77, XK_End}, {75, XK_Prior}, {78, XK_Next},
        {80, XK_Left}, {79, XK_Right}, {81, XK_Down}, {82, XK_Up}, {88, XK_KP_Enter},
        {84, XK_KP_Divide}, {85, XK_KP_Multiply}, {86, XK_KP_Subtract}, {87, XK_KP_Add},
        {100, XK_less}, {224, XK_Control_L}, {228, XK_Control_R}, {226, XK_Alt_L},
        {227, XK_Super_L}, {231, XK_Super_R}, {229, XK_Shift_R},
    };
    // clang-format on
    const auto& table = KeyInjectorCore::usageKeyCodes();
    for (auto [usage, keysym] : cases) {
        ASSERT_TRUE(table.count(usage)) << "usage " << usage;
        poster().postKey(table.at(usage), true, 0, false);
        poster().postKey(table.at(usage), false, 0, false);
        auto press = waitForEvent(d(), [](const XEvent& e) { return e.type == KeyPress; });
        ASSERT_TRUE(press) << "usage " << usage;
        EXPECT_EQ(XLookupKeysym(&press->xkey, 0), keysym)
            << "usage " << usage << " gave X keycode " << press->xkey.keycode;
        drainEvents(d(), milliseconds(30));
    }
    drainEvents(d(), milliseconds(100));
    EXPECT_FALSE(anyKeyDown(d()));
}

}  // namespace
}  // namespace panelora::test
