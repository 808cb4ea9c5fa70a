// The X11 event poster against the real server, where X11 differs from the other desktops (the
// conformance suite has what they share): pointer, wheel clicks and modifiers as a window receives
// them, the key table, and nothing left pressed.
#include "system_fixture.h"  // first: gtest before the X headers

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <array>

#include "input/key_injector.h"

namespace panelora::test {
namespace {

using std::chrono::milliseconds;
using X11PointerTest = X11InputTest;
using X11KeyTest = X11InputTest;

bool isButton(const XEvent& e, int type, unsigned button) {
    return e.type == type && e.xbutton.button == button;
}
auto keyEvent(int type, unsigned keycode) {
    return [=](const XEvent& e) { return e.type == type && e.xkey.keycode == keycode; };
}

std::array<char, 32> keymap(Display* d) {
    std::array<char, 32> keys{};
    XSync(d, False);
    XQueryKeymap(d, keys.data());
    return keys;
}
bool anyKeyDown(Display* d) {
    const auto keys = keymap(d);
    return std::any_of(keys.begin(), keys.end(), [](char c) { return c != 0; });
}
bool keyDown(Display* d, unsigned keycode) {
    return (keymap(d)[keycode / 8] >> (keycode % 8)) & 1;
}

TEST_F(X11PointerTest, PressDragAndReleaseArriveAtTheWindowCoordinates) {
    TestWindow window(d(), 100, 100, 400, 300);
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::mouseMoved, 0, {150, 160}, MouseButton::left, {}));
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::leftMouseDown, 0, {150.7, 160.2}, MouseButton::left, 1));
    auto press = waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonPress, 1); });
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xbutton.x, 50);
    EXPECT_EQ(press->xbutton.y, 60);
    EXPECT_EQ(press->xbutton.x_root, 150);
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::leftMouseDragged, 0, {200, 210}, MouseButton::left, 1));
    auto drag = waitForEvent(d(), [](const XEvent& e) {
        return e.type == MotionNotify && e.xmotion.x == 100 && e.xmotion.y == 110;
    });
    ASSERT_TRUE(drag);
    EXPECT_TRUE(drag->xmotion.state & Button1Mask);
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::leftMouseUp, 0, {210, 220}, MouseButton::left, 1));
    auto release = waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonRelease, 1); });
    ASSERT_TRUE(release);
    EXPECT_EQ(release->xbutton.x, 110);
    EXPECT_EQ(release->xbutton.y, 120);
    EXPECT_TRUE(poster().heldButtons().empty());
}

TEST_F(X11PointerTest, TouchesOnTheFarEdgesStayOnTheirDisplay) {
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

TEST_F(X11PointerTest, AHeldButtonIsReleasedWhenThePosterGoes) {
    TestWindow window(d(), 0, 0, 300, 300);
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::leftMouseDown, 0, {30, 30}, MouseButton::left, 1));
    ASSERT_TRUE(waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonPress, 1); }));
    backends_.poster.reset();  // the destructor lets go of button 1
    EXPECT_TRUE(waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonRelease, 1); }));
}

TEST_F(X11PointerTest, ScrollPixelsBecomeWheelClicksWithTheRestCarried) {
    TestWindow window(d(), 0, 0, 400, 400);
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::mouseMoved, 0, {200, 200}, MouseButton::left, {}));
    drainEvents(d(), milliseconds(50));
    using Clicks = std::map<unsigned, int>;
    // The wheel clicks that arrive, (button, count): `expected` of them, and nothing after.
    auto clicks = [&](int expected) {
        Clicks clicks;
        for (int seen = 0; seen < expected; ++seen) {
            auto e = waitForEvent(d(), [](const XEvent& e) { return e.type == ButtonPress; });
            if (!e) break;
            ++clicks[e->xbutton.button];
        }
        for (const auto& e : drainEvents(d())) {
            if (e.type == ButtonPress) ++clicks[e.xbutton.button];
        }
        return clicks;
    };
    // 85 px up the document: two clicks of button 4, 5 px carried.
    ASSERT_TRUE(poster().postScroll(85, 0));
    EXPECT_EQ(clicks(2), (Clicks{{4, 2}}));
    EXPECT_EQ(poster().scrollRemainderVertical(), 5);
    // Horizontal −40: one click of button 7 (content moves left).
    ASSERT_TRUE(poster().postScroll(0, -40));
    EXPECT_EQ(clicks(1), (Clicks{{7, 1}}));
    // 30 more: 35 carried, nothing sent; 5 more make a click.
    ASSERT_TRUE(poster().postScroll(30, 0));
    EXPECT_EQ(clicks(0), Clicks{});
    ASSERT_TRUE(poster().postScroll(5, 0));
    EXPECT_EQ(clicks(1), (Clicks{{4, 1}}));
    EXPECT_EQ(poster().scrollRemainderVertical(), 0);
    // A fraction the other way cancels what was carried instead of adding to it.
    ASSERT_TRUE(poster().postScroll(-30, 39));
    ASSERT_TRUE(poster().postScroll(-15, 1));
    EXPECT_EQ(clicks(2), (Clicks{{5, 1}, {6, 1}}));
    EXPECT_EQ(poster().scrollRemainderVertical(), -5);
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);
    // A new session starts from nothing: 35 px alone make no click.
    ASSERT_TRUE(poster().postScroll(0, 30));
    poster().resetState();
    EXPECT_EQ(poster().scrollRemainderVertical(), 0);
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);
    ASSERT_TRUE(poster().postScroll(-35, 0));
    EXPECT_EQ(clicks(0), Clicks{});
}

TEST_F(X11KeyTest, ControlOptionCommandAndCapsLockReachTheTarget) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(1, true, EventFlags::control | EventFlags::option | EventFlags::command,
                     false);
    auto press = waitForEvent(d(), keyEvent(KeyPress, 39));  // S
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xkey.state & (ControlMask | Mod1Mask | Mod4Mask | ShiftMask),
              unsigned(ControlMask | Mod1Mask | Mod4Mask));
    poster().postKey(1, false, 0, false);
    poster().postKey(0, true, EventFlags::capsLock, false);
    auto caps = waitForEvent(d(), keyEvent(KeyPress, 38));
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

TEST_F(X11KeyTest, HeldKeysAreReleasedByKeyUpsOrWhenThePosterGoes) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(56, true, EventFlags::shift, false);
    poster().postKey(0, true, EventFlags::shift, false);
    ASSERT_TRUE(waitForEvent(d(), keyEvent(KeyPress, 38)));
    EXPECT_TRUE(keyDown(d(), 50));
    EXPECT_TRUE(keyDown(d(), 38));
    EXPECT_EQ(poster().heldKeys(), (std::set<unsigned>{38, 50}));
    // What the key injector's releaseAll sends: key-ups with flags 0.
    poster().postKey(0, false, 0, false);
    poster().postKey(56, false, 0, false);
    drainEvents(d(), milliseconds(100));
    EXPECT_FALSE(anyKeyDown(d()));

    poster().postKey(58, true, EventFlags::option, false);
    poster().postKey(12, true, EventFlags::option, false);
    ASSERT_TRUE(waitForEvent(d(), keyEvent(KeyPress, 24)));  // Q
    backends_.poster.reset();
    drainEvents(d(), milliseconds(100));
    EXPECT_FALSE(anyKeyDown(d()));
}

}  // namespace
}  // namespace panelora::test
