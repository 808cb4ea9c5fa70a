// The X11 input backends against the real server, where X11 differs from the other desktops (the
// conformance suite has what they share): the event poster's drags, the far edge beside a
// neighbour, wheel clicks and modifiers as a window receives them, the key table and nothing left
// pressed; the geometry's moves that the root window's origin cannot follow, refusals and RandR
// changes made by other programs; the cursor's image.
#include "x11_helpers.h"  // first: gtest before Xlib, whose macros break its templates

#include <X11/XKBlib.h>
#include <X11/Xcursor/Xcursor.h>
#include <X11/keysym.h>

#include "input/key_injector.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_input_backends.h"
#include "png_reader.h"
#include "support/main_queue.h"

namespace panelora::test {
namespace {

// Collects reconfiguration calls and whether they ran on the main queue.
struct Recorder {
    Collected<std::pair<DisplayID, uint32_t>> calls;
    std::atomic<bool> allOnMainQueue{true};

    DisplayGeometry::ReconfigurationCallback callback() {
        return [this](DisplayID display, uint32_t flags) {
            if (!mainQueue()->isCurrent()) allOnMainQueue = false;
            calls.add({display, flags});
        };
    }
    bool waitFor(DisplayID display, uint32_t flag) {
        return eventually([&] {
            return std::ranges::any_of(
                calls.items(), [&](auto c) { return c.first == display && c.second & flag; });
        });
    }
};

class X11InputTest : public XorgTest {
  protected:
    // Enables a spare output and waits until the geometry's watcher has reported it, so that a
    // later move is not folded into the same notification as the addition.
    std::unique_ptr<SpareOutput> enableSpare(const std::string& name, int width, int height, int x,
                                             int y) {
        Recorder added;
        auto token = geometry().addReconfigurationCallback(added.callback());
        auto spare = SpareOutput::enable(d(), name, width, height, x, y);
        const bool seen =
            spare && added.waitFor(DisplayID(spare->output()), DisplayChange::addFlag);
        geometry().removeReconfigurationCallback(token);
        mainQueue()->flush();  // no call into `added` after this
        EXPECT_TRUE(seen) << "the watcher did not report " << name;
        return spare;
    }

    void SetUp() override {
        XorgTest::SetUp();
        if (!d_) return;
        std::string why;
        auto backends =
            createX11InputBackends({.displayName = server_->displayName(), .scale = 1}, &why);
        ASSERT_TRUE(backends) << why;
        backends_ = std::move(*backends);
    }
    void TearDown() override {
        backends_ = {};
        XorgTest::TearDown();
    }

    X11EventPoster& poster() { return *backends_.poster; }
    X11DisplayGeometry& geometry() { return *backends_.geometry; }
    X11CursorSource& cursor() { return *backends_.cursor; }

    X11InputBackends backends_;
};

using X11PointerTest = X11InputTest;
using X11KeyTest = X11InputTest;
using X11GeometryTest = X11InputTest;

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
    backends_.poster.reset();
    EXPECT_TRUE(waitForEvent(d(), event(ButtonRelease, 1)));
    drainEvents(d(), 100ms);
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
    drainEvents(d(), 50ms);
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
        for (const auto& e : drainEvents(d(), 500ms))
            if (e.type == ButtonPress) ++clicks[e.xbutton.button];
        EXPECT_EQ(clicks, c.clicks);
        EXPECT_EQ(poster().scrollRemainderVertical(), c.remainder);
    }
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);
    ASSERT_TRUE(poster().postScroll(0, 30));
    poster().resetState();
    EXPECT_EQ(poster().scrollRemainderHorizontal(), 0);
    ASSERT_TRUE(poster().postScroll(-35, 0));  // with -5 carried it would make a click
    EXPECT_TRUE(drainEvents(d(), 500ms).empty());
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
    drainEvents(d(), 100ms);
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
        drainEvents(d(), 30ms);
    }
    drainEvents(d(), 100ms);
    EXPECT_FALSE(anyKeyDown(d()));
}

// The root window cannot start left of or above the primary: global points stay relative to the
// primary wherever the root window puts it, the screen is the bounding box, and the pointer's
// location is in global points too.
TEST_F(X11GeometryTest, ConfigureOriginMovesTheOutputAlsoLeftOfThePrimary) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    const auto id = static_cast<DisplayID>(spare->output());
    const DisplayID primary = geometry().mainDisplayID();
    struct Case {
        int x, y;
        Rect root, primaryRoot;  // the display's and the primary's place in the root window
        ScreenSize screen;
    };
    for (const Case& c : {
             Case{200, 1080, {200, 1080, 1024, 768}, {0, 0, 1920, 1080}, {1920, 1848}},
             Case{-1024, -100, {0, 0, 1024, 768}, {1024, 100, 1920, 1080}, {2944, 1180}},
             Case{1920, 50, {1920, 50, 1024, 768}, {0, 0, 1920, 1080}, {2944, 1080}},
         }) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        ASSERT_TRUE(geometry().configureOrigin(id, c.x, c.y));
        EXPECT_EQ(geometry().bounds(id), (Rect{double(c.x), double(c.y), 1024, 768}));
        EXPECT_EQ(geometry().bounds(primary), (Rect{0, 0, 1920, 1080}));
        EXPECT_EQ(x11::displayBounds(d(), id), c.root);
        EXPECT_EQ(x11::displayBounds(d(), primary), c.primaryRoot);
        EXPECT_EQ(screenSize(d()), c.screen);
        XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, int(c.root.x) + 100,
                     int(c.root.y) + 50);
        XSync(d(), False);
        EXPECT_EQ(cursor().location(), (Point{c.x + 100.0, c.y + 50.0}));
    }

    // Refused: wider than the screen can be, or no such display; nothing changed.
    int minW, minH, maxW, maxH;
    XRRGetScreenSizeRange(d(), DefaultRootWindow(d()), &minW, &minH, &maxW, &maxH);
    EXPECT_FALSE(geometry().configureOrigin(id, maxW, 0));
    EXPECT_FALSE(geometry().configureOrigin(0x7fffff, 0, 0));
    EXPECT_EQ(geometry().bounds(id), (Rect{1920, 50, 1024, 768}));
    EXPECT_EQ(x11::displayBounds(d(), id), (Rect{1920, 50, 1024, 768}));
    EXPECT_TRUE(geometry().bounds(0).isEmpty() && geometry().bounds(0x7fffff).isEmpty());
}

// A move as `xrandr --pos` makes it reaches the callbacks, on the main queue, until removed.
TEST_F(X11GeometryTest, RawRandrMoveReachesTheCallbackOnTheMainQueue) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    const auto id = static_cast<DisplayID>(spare->output());
    Recorder recorder;
    auto token = geometry().addReconfigurationCallback(recorder.callback());
    ASSERT_NE(token, 0u);
    ASSERT_TRUE(spare->moveTo(1920, 300));
    ASSERT_TRUE(recorder.waitFor(id, DisplayChange::movedFlag));
    EXPECT_EQ(geometry().bounds(id), (Rect{1920, 300, 1024, 768}));
    EXPECT_TRUE(recorder.allOnMainQueue);
    for (auto [display, flags] : recorder.calls.items()) {
        EXPECT_NE(display, geometry().mainDisplayID()) << "the main display did not move";
        EXPECT_FALSE(flags & DisplayChange::beginConfigurationFlag);
    }

    geometry().removeReconfigurationCallback(token);
    const size_t before = recorder.calls.size();
    ASSERT_TRUE(spare->moveTo(1920, 0));
    std::this_thread::sleep_for(400ms);
    mainQueue()->flush();
    EXPECT_EQ(recorder.calls.size(), before);
}

// The image of the window's cursor, its size and hot spot (the pointer's location is above).
TEST_F(X11GeometryTest, CurrentCursorIsTheWindowsCursorWithStraightAlpha) {
    constexpr int kWidth = 8, kHeight = 6;
    XcursorImage* image = XcursorImageCreate(kWidth, kHeight);
    image->xhot = 3;
    image->yhot = 5;
    // Opaque, half-transparent and clear pixels, premultiplied as X expects.
    for (int i = 0; i < kWidth * kHeight; ++i)
        image->pixels[i] =
            std::array<XcursorPixel, 4>{0xFFFF0000, 0x80004000, 0, 0xC0303030}[i % 4];
    const Cursor xcursor = XcursorImageLoadCursor(d(), image);
    XcursorImageDestroy(image);
    TestWindow window(d(), 0, 0, 200, 200);
    XDefineCursor(d(), window.id(), xcursor);
    XWarpPointer(d(), None, DefaultRootWindow(d()), 0, 0, 0, 0, 50, 50);
    XSync(d(), False);

    auto current = cursor().currentSystemCursor();
    ASSERT_TRUE(current && current->png);
    EXPECT_EQ(std::tuple(current->width, current->height, current->hotSpot),
              std::tuple(kWidth, kHeight, Point{3, 5}));
    const auto png = current->png();
    const auto picture = png ? decodePng(*png, true) : std::nullopt;
    ASSERT_TRUE(picture);
    ASSERT_EQ(std::pair(picture->width, picture->height), std::pair(kWidth, kHeight));
    // The conversion itself is the unit tests' business: one half-transparent pixel shows it ran.
    EXPECT_EQ(std::vector<uint8_t>(picture->pixels.begin() + 4, picture->pixels.begin() + 8),
              (std::vector<uint8_t>{0, 128, 0, 128}));  // 0x40 green at half alpha
    XFreeCursor(d(), xcursor);
}

}  // namespace
}  // namespace panelora::test
