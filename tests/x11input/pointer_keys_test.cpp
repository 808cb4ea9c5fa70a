// gtest before the X headers: Xlib defines None, Bool and Status as macros.
#include "system_fixture.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <thread>

namespace panelora::test {
namespace {

using std::chrono::milliseconds;

bool isButton(const XEvent& e, int type, unsigned button) {
    return e.type == type && e.xbutton.button == button;
}

std::array<char, 32> keymap(Display* d) {
    std::array<char, 32> keys{};
    XQueryKeymap(d, keys.data());
    return keys;
}

bool anyKeyDown(Display* d) {
    auto keys = keymap(d);
    return std::any_of(keys.begin(), keys.end(), [](char c) { return c != 0; });
}

bool keyDown(Display* d, unsigned keycode) {
    auto keys = keymap(d);
    return (keys[keycode / 8] >> (keycode % 8)) & 1;
}

KeySym keysymOf(XKeyEvent event) {
    char text[8];
    KeySym keysym = NoSymbol;
    XLookupString(&event, text, sizeof text, &keysym, nullptr);
    return keysym;
}

using X11PointerTest = X11InputTest;
using X11KeyTest = X11InputTest;

TEST_F(X11PointerTest, PressDragAndReleaseArriveAtTheWindowCoordinates) {
    TestWindow window(d(), 100, 100, 400, 300);
    ASSERT_TRUE(poster().postMouse(MouseEventType::mouseMoved, 0, {150, 160}, MouseButton::left, {}));
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

    ASSERT_TRUE(poster().postMouse(MouseEventType::leftMouseUp, 0, {210, 220}, MouseButton::left, 1));
    auto release = waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonRelease, 1); });
    ASSERT_TRUE(release);
    EXPECT_EQ(release->xbutton.x, 110);
    EXPECT_EQ(release->xbutton.y, 120);
    EXPECT_TRUE(poster().heldButtons().empty());
}

TEST_F(X11PointerTest, EventsOnASecondOutputLandAtItsPixels) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    TestWindow window(d(), 1920 + 10, 20, 300, 200);
    Rect bounds = geometry().bounds(static_cast<DisplayID>(spare->output()));
    ASSERT_EQ(bounds, (Rect{1920, 0, 1024, 768}));
    // A quarter across and a tenth down the display.
    Point point{bounds.x + bounds.width * 0.25, bounds.y + bounds.height * 0.1};
    const auto id = static_cast<DisplayID>(spare->output());
    ASSERT_TRUE(poster().postMouse(MouseEventType::leftMouseDown, id, point, MouseButton::left, 1));
    ASSERT_TRUE(poster().postMouse(MouseEventType::leftMouseUp, id, point, MouseButton::left, 1));
    auto press = waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonPress, 1); });
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xbutton.x_root, 1920 + 256);
    EXPECT_EQ(press->xbutton.y_root, 76);  // floor(76.8)
    EXPECT_EQ(press->xbutton.x, 256 - 10);
}

TEST_F(X11PointerTest, TouchesOnTheFarEdgesStayOnTheirDisplay) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    auto neighbour = enableSpare("DUMMY2", 640, 480, 1920 + 1024, 0);
    ASSERT_TRUE(spare && neighbour);
    const auto id = static_cast<DisplayID>(spare->output());
    Rect bounds = geometry().bounds(id);
    // x = 1 and y = 1 on the tablet: the first pixel column and row past the display.
    ASSERT_TRUE(poster().postMouse(MouseEventType::mouseMoved, id, {bounds.maxX(), bounds.maxY()},
                                   MouseButton::left, {}));
    Window root, child;
    int rootX = 0, rootY = 0, x, y;
    unsigned mask;
    XQueryPointer(d(), DefaultRootWindow(d()), &root, &child, &rootX, &rootY, &x, &y, &mask);
    EXPECT_EQ(rootX, 1920 + 1023);
    EXPECT_EQ(rootY, 767);
    // Without a display the point is taken as it is: the neighbour's first column.
    ASSERT_TRUE(poster().postMouse(MouseEventType::mouseMoved, 0, {bounds.maxX(), 10},
                                   MouseButton::left, {}));
    XQueryPointer(d(), DefaultRootWindow(d()), &root, &child, &rootX, &rootY, &x, &y, &mask);
    EXPECT_EQ(rootX, 1920 + 1024);
}

TEST_F(X11PointerTest, RightClickIsButtonThreePressAndRelease) {
    TestWindow window(d(), 0, 0, 300, 300);
    ASSERT_TRUE(poster().postMouse(MouseEventType::mouseMoved, 0, {40, 50}, MouseButton::right, {}));
    ASSERT_TRUE(
        poster().postMouse(MouseEventType::rightMouseDown, 0, {40, 50}, MouseButton::right, 1));
    ASSERT_TRUE(poster().postMouse(MouseEventType::rightMouseUp, 0, {40, 50}, MouseButton::right, 1));
    auto press = waitForEvent(d(), [](const XEvent& e) { return e.type == ButtonPress; });
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xbutton.button, 3u);
    EXPECT_EQ(press->xbutton.x, 40);
    auto release = waitForEvent(d(), [](const XEvent& e) { return e.type == ButtonRelease; });
    ASSERT_TRUE(release);
    EXPECT_EQ(release->xbutton.button, 3u);
}

TEST_F(X11PointerTest, HeldButtonIsReleasedWhenThePosterGoes) {
    TestWindow window(d(), 0, 0, 300, 300);
    ASSERT_TRUE(poster().postMouse(MouseEventType::leftMouseDown, 0, {30, 30}, MouseButton::left, 1));
    ASSERT_TRUE(waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonPress, 1); }));
    backends_.poster.reset();  // the destructor lets go of button 1
    auto release = waitForEvent(d(), [](const XEvent& e) { return isButton(e, ButtonRelease, 1); });
    EXPECT_TRUE(release);
}

// Wheel clicks: (button, count) of the ButtonPress events that arrived.
std::map<unsigned, int> wheelClicks(Display* d, int expected) {
    std::map<unsigned, int> clicks;
    int seen = 0;
    while (seen < expected) {
        auto e = waitForEvent(d, [](const XEvent& e) { return e.type == ButtonPress; });
        if (!e) break;
        ++clicks[e->xbutton.button];
        ++seen;
    }
    // Nothing more may follow.
    for (const auto& e : drainEvents(d)) {
        if (e.type == ButtonPress) ++clicks[e.xbutton.button];
    }
    return clicks;
}

TEST_F(X11PointerTest, ScrollPixelsBecomeWheelClicksWithTheRestCarried) {
    TestWindow window(d(), 0, 0, 400, 400);
    ASSERT_TRUE(poster().postMouse(MouseEventType::mouseMoved, 0, {200, 200}, MouseButton::left, {}));
    drainEvents(d(), milliseconds(50));

    // 85 px up-the-document (positive vertical): two clicks of button 4, 5 px carried.
    ASSERT_TRUE(poster().postScroll(85, 0));
    EXPECT_EQ(wheelClicks(d(), 2), (std::map<unsigned, int>{{4, 2}}));
    EXPECT_EQ(poster().scrollRemainderVertical(), 5);

    // Horizontal −40: one click of button 7 (content moves left).
    ASSERT_TRUE(poster().postScroll(0, -40));
    EXPECT_EQ(wheelClicks(d(), 1), (std::map<unsigned, int>{{7, 1}}));

    // 30 more: 35 carried, nothing sent; 5 more make a click.
    ASSERT_TRUE(poster().postScroll(30, 0));
    EXPECT_EQ(wheelClicks(d(), 0), (std::map<unsigned, int>{}));
    ASSERT_TRUE(poster().postScroll(5, 0));
    EXPECT_EQ(wheelClicks(d(), 1), (std::map<unsigned, int>{{4, 1}}));
    EXPECT_EQ(poster().scrollRemainderVertical(), 0);

    // A fraction the other way cancels what was carried instead of adding to it.
    ASSERT_TRUE(poster().postScroll(-30, 39));
    ASSERT_TRUE(poster().postScroll(-15, 1));
    EXPECT_EQ(wheelClicks(d(), 2), (std::map<unsigned, int>{{5, 1}, {6, 1}}));
    EXPECT_EQ(poster().scrollRemainderVertical(), -5);
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);

    // A new session starts from nothing: 35 px alone make no click.
    ASSERT_TRUE(poster().postScroll(0, 30));
    poster().resetState();
    EXPECT_EQ(poster().scrollRemainderVertical(), 0);
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);
    ASSERT_TRUE(poster().postScroll(-35, 0));
    EXPECT_EQ(wheelClicks(d(), 0), (std::map<unsigned, int>{}));
}

TEST_F(X11KeyTest, ShiftedAArrivesAsCapitalAAndNothingStaysDown) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(0, true, EventFlags::shift, false);
    auto press = waitForEvent(
        d(), [](const XEvent& e) { return e.type == KeyPress && e.xkey.keycode == 38; });
    ASSERT_TRUE(press);
    EXPECT_TRUE(press->xkey.state & ShiftMask);
    EXPECT_EQ(keysymOf(press->xkey), static_cast<KeySym>(XK_A));

    poster().postKey(0, false, 0, false);
    auto release = waitForEvent(
        d(), [](const XEvent& e) { return e.type == KeyRelease && e.xkey.keycode == 38; });
    ASSERT_TRUE(release);
    EXPECT_FALSE(release->xkey.state & ShiftMask);
    XSync(d(), False);
    EXPECT_FALSE(anyKeyDown(d()));
    EXPECT_TRUE(poster().heldKeys().empty());

    // Without the flag, the same key is a small a.
    poster().postKey(0, true, 0, false);
    poster().postKey(0, false, 0, false);
    auto plain = waitForEvent(
        d(), [](const XEvent& e) { return e.type == KeyPress && e.xkey.keycode == 38; });
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->xkey.state & ShiftMask);
    EXPECT_EQ(keysymOf(plain->xkey), static_cast<KeySym>(XK_a));
}

TEST_F(X11KeyTest, FlagsOfAHeldModifierAreTakenAwayForAKeyThatHasNone) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(56, true, EventFlags::shift, false);  // Shift held from the tablet
    poster().postKey(0, true, 0, false);                   // but the A comes without it
    auto press = waitForEvent(
        d(), [](const XEvent& e) { return e.type == KeyPress && e.xkey.keycode == 38; });
    ASSERT_TRUE(press);
    EXPECT_FALSE(press->xkey.state & ShiftMask);
    EXPECT_EQ(keysymOf(press->xkey), static_cast<KeySym>(XK_a));
    XSync(d(), False);
    EXPECT_TRUE(keyDown(d(), 50));  // Shift is pressed again afterwards
    poster().postKey(0, false, 0, false);
    poster().postKey(56, false, 0, false);
    drainEvents(d(), milliseconds(100));
    EXPECT_FALSE(anyKeyDown(d()));
}

TEST_F(X11KeyTest, ControlOptionCommandAndCapsLockReachTheTarget) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(1, true, EventFlags::control | EventFlags::option | EventFlags::command,
                     false);
    auto press = waitForEvent(d(), [](const XEvent& e) {
        return e.type == KeyPress && e.xkey.keycode == 39;  // S
    });
    ASSERT_TRUE(press);
    EXPECT_TRUE(press->xkey.state & ControlMask);
    EXPECT_TRUE(press->xkey.state & Mod1Mask);
    EXPECT_TRUE(press->xkey.state & Mod4Mask);
    EXPECT_FALSE(press->xkey.state & ShiftMask);
    poster().postKey(1, false, 0, false);

    poster().postKey(0, true, EventFlags::capsLock, false);
    auto caps = waitForEvent(
        d(), [](const XEvent& e) { return e.type == KeyPress && e.xkey.keycode == 38; });
    ASSERT_TRUE(caps);
    EXPECT_TRUE(caps->xkey.state & LockMask);
    EXPECT_EQ(keysymOf(caps->xkey), static_cast<KeySym>(XK_A));
    poster().postKey(0, false, 0, false);
    XSync(d(), False);
    drainEvents(d(), milliseconds(100));
    XkbStateRec state;
    ASSERT_EQ(XkbGetState(d(), XkbUseCoreKbd, &state), Success);
    EXPECT_EQ(state.locked_mods & LockMask, 0u);  // the lock was put back
    EXPECT_EQ(state.mods, 0u);
    EXPECT_FALSE(anyKeyDown(d()));
}

TEST_F(X11KeyTest, ARepeatIsASecondPress) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(0, true, 0, false);
    poster().postKey(0, true, 0, true);
    poster().postKey(0, false, 0, false);
    // X's auto-repeat pattern: press, (release, press)…, release.
    std::vector<int> types;
    while (types.size() < 4) {
        auto e = waitForEvent(d(), [](const XEvent& e) {
            return (e.type == KeyPress || e.type == KeyRelease) && e.xkey.keycode == 38;
        });
        ASSERT_TRUE(e) << types.size() << " events";
        types.push_back(e->type);
    }
    EXPECT_EQ(types, (std::vector<int>{KeyPress, KeyRelease, KeyPress, KeyRelease}));
    XSync(d(), False);
    EXPECT_FALSE(anyKeyDown(d()));
}

TEST_F(X11KeyTest, AHeldKeyIsNotRepeatedByTheServer) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(0, true, 0, false);
    // Longer than the server's repeat delay (660 ms by default).
    std::this_thread::sleep_for(milliseconds(900));
    poster().postKey(0, false, 0, false);
    int presses = 0;
    for (const auto& e : drainEvents(d(), milliseconds(200))) {
        if (e.type == KeyPress && e.xkey.keycode == 38) ++presses;
    }
    EXPECT_EQ(presses, 1);
}

TEST_F(X11KeyTest, KeysArriveWithTheirKeysymsWhateverTheKeycodeSet) {
    TestWindow window(d(), 0, 0, 200, 200);
    // macOS key code -> the keysym the target must see (no modifiers).
    const std::pair<uint16_t, KeySym> cases[] = {
        {0, XK_a},          {18, XK_1},           {36, XK_Return},      {51, XK_BackSpace},
        {53, XK_Escape},    {49, XK_space},       {42, XK_backslash},   {50, XK_grave},
        {122, XK_F1},       {111, XK_F12},        {115, XK_Home},       {117, XK_Delete},
        {119, XK_End},      {116, XK_Prior},      {121, XK_Next},       {123, XK_Left},
        {124, XK_Right},    {125, XK_Down},       {126, XK_Up},         {76, XK_KP_Enter},
        {75, XK_KP_Divide}, {67, XK_KP_Multiply}, {78, XK_KP_Subtract}, {69, XK_KP_Add},
        {59, XK_Control_L}, {62, XK_Control_R},   {58, XK_Alt_L},       {55, XK_Super_L},
        {54, XK_Super_R},   {60, XK_Shift_R},
    };
    for (auto [mac, keysym] : cases) {
        poster().postKey(mac, true, 0, false);
        poster().postKey(mac, false, 0, false);
        auto press = waitForEvent(d(), [](const XEvent& e) { return e.type == KeyPress; });
        ASSERT_TRUE(press) << "key code " << mac;
        EXPECT_EQ(XLookupKeysym(&press->xkey, 0), keysym)
            << "key code " << mac << " gave X keycode " << press->xkey.keycode;
        drainEvents(d(), milliseconds(30));
    }
    drainEvents(d(), milliseconds(100));
    EXPECT_FALSE(anyKeyDown(d()));
}

TEST_F(X11KeyTest, HeldKeysAreReleasedByKeyUpsOrWhenThePosterGoes) {
    TestWindow window(d(), 0, 0, 200, 200);
    poster().postKey(56, true, EventFlags::shift, false);
    poster().postKey(0, true, EventFlags::shift, false);
    ASSERT_TRUE(waitForEvent(
        d(), [](const XEvent& e) { return e.type == KeyPress && e.xkey.keycode == 38; }));
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
    ASSERT_TRUE(waitForEvent(d(), [](const XEvent& e) {
        return e.type == KeyPress && e.xkey.keycode == 24;  // Q
    }));
    backends_.poster.reset();
    drainEvents(d(), milliseconds(100));
    EXPECT_FALSE(anyKeyDown(d()));
}

}  // namespace
}  // namespace panelora::test
