// The core's injectors and display arrangement running on the X11 backends against the real
// server.
// gtest before the X headers: Xlib defines None, Bool and Status as macros.
#include "system_fixture.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstring>
#include <filesystem>

#include "display/display_arrangement.h"
#include "input/key_injector.h"
#include "input/pointer_injector.h"
#include "platform/linux/bundle/linux_platform.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "video/virtual_display.h"
#include "support/main_queue.h"
#include "support/manual_clock.h"

namespace panelora::test {
namespace {

using X11CoreTest = X11InputTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST_F(X11CoreTest, KeyInjectorUsageFourWithShiftTypesCapitalA) {
    TestWindow window(d(), 0, 0, 200, 200);
    auto poster = backends_.poster;
    auto keys = std::make_shared<KeyInjectorCore>(
        [poster](uint16_t code, bool down, uint64_t flags, bool repeat) {
            poster->postKey(code, down, flags, repeat);
        },
        SerialQueue::create("test.keys"));
    keys->inject(KeyEvent{4, true, KeyEvent::Modifiers::shift});
    keys->inject(KeyEvent{4, false, {}});
    keys->queue()->flush();
    auto press = waitForEvent(
        d(), [](const XEvent& e) { return e.type == KeyPress && e.xkey.keycode == 38; });
    ASSERT_TRUE(press);
    char text[8];
    KeySym keysym = NoSymbol;
    XLookupString(&press->xkey, text, sizeof text, &keysym, nullptr);
    EXPECT_EQ(keysym, static_cast<KeySym>(XK_A));
    EXPECT_TRUE(press->xkey.state & ShiftMask);

    // Left Shift held and a letter held, then the session ends.
    keys->inject(KeyEvent{225, true, {}});
    keys->inject(KeyEvent{5, true, KeyEvent::Modifiers::shift});
    keys->releaseAll();
    keys->queue()->flush();
    drainEvents(d(), milliseconds(100));
    std::array<char, 32> down{};
    XQueryKeymap(d(), down.data());
    EXPECT_TRUE(std::all_of(down.begin(), down.end(), [](char c) { return c == 0; }));
    EXPECT_TRUE(poster->heldKeys().empty());
}

TEST_F(X11CoreTest, InstalledBackendsInjectTouchesOnTheDisplay) {
    auto spare = enableSpare("DUMMY1", 1024, 768, 1920, 0);
    ASSERT_TRUE(spare);
    TestWindow window(d(), 1920, 0, 1024, 768);
    installX11InputBackends(backends_);
    resetInjectionState();
    const auto id = static_cast<DisplayID>(spare->output());
    injectTouch(0, id, 0.25f, 0.5f);  // down
    injectTouch(2, id, 0.25f, 0.5f);  // up
    auto press = waitForEvent(d(), [](const XEvent& e) { return e.type == ButtonPress; });
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xbutton.button, 1u);
    EXPECT_EQ(press->xbutton.x, 256);
    EXPECT_EQ(press->xbutton.y, 384);
    installInjectionBackends({});
    installDisplayGeometry(nullptr);
}

// Xft.dpi 192 and no GDK_SCALE, as GNOME and Cinnamon set it on a HiDPI X11 desktop: the display
// is made at twice its size in points, and input and geometry count the same points.
TEST_F(X11CoreTest, XftDpiScalesTheDisplayAndTheInputAlike) {
    const char* resources = "Xft.dpi:\t192\n";
    Atom resourceManager = XInternAtom(d(), "RESOURCE_MANAGER", False);
    XChangeProperty(d(), DefaultRootWindow(d()), resourceManager, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources),
                    static_cast<int>(std::strlen(resources)));
    XSync(d(), False);
    std::string why;
    auto platform = LinuxPlatform::create(server_->displayName(), &why);
    XDeleteProperty(d(), DefaultRootWindow(d()), resourceManager);
    XSync(d(), False);
    ASSERT_TRUE(platform) << why;

    auto display = VirtualDisplay::create(platform->virtualDisplays(), StreamProfile::fallback, 1);
    ASSERT_TRUE(display);
    const DisplayID id = display->displayID();
    EXPECT_EQ(x11::displayBounds(d(), id), (Rect{1920, 0, 2048, 1536}));
    EXPECT_EQ(platform->input().geometry->scale(), 2);
    EXPECT_EQ(platform->input().geometry->bounds(id), (Rect{960, 0, 1024, 768}));

    resetInjectionState();
    injectTouch(4, id, 1.0f, 0.5f);  // hover at the right edge
    Window root, child;
    int rootX = 0, rootY = 0, x, y;
    unsigned mask;
    XQueryPointer(d(), DefaultRootWindow(d()), &root, &child, &rootX, &rootY, &x, &y, &mask);
    EXPECT_EQ(rootX, 1920 + 2047);
    EXPECT_EQ(rootY, 768);
}

class X11ArrangementTest : public X11InputTest {
  protected:
    void SetUp() override {
        X11InputTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        directory_ =
            std::filesystem::temp_directory_path() / ("x11input-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
        settings_ = std::make_shared<SettingsStore>(directory_ / "settings.json");
        spare_ = enableSpare("DUMMY1", 1024, 768, 1920, 0);
        ASSERT_TRUE(spare_);
        id_ = static_cast<DisplayID>(spare_->output());
    }
    void TearDown() override {
        if (arrangement_) onMain([this] { arrangement_->unregister(); });
        arrangement_.reset();
        spare_.reset();
        X11InputTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(directory_, ec);
    }
    static void onMain(std::function<void()> task) {
        mainQueue()->post(std::move(task));
        mainQueue()->flush();
    }
    void createArrangement() {
        arrangement_ = DisplayArrangement::create(id_, backends_.geometry, settings_, clock_);
    }
    std::optional<DisplayArrangement::Saved> saved() const {
        auto text = settings_->displayArrangement();
        if (!text) return std::nullopt;
        return DisplayArrangement::Saved::decode(*text);
    }

    std::filesystem::path directory_;
    std::shared_ptr<SettingsStore> settings_;
    std::unique_ptr<SpareOutput> spare_;
    DisplayID id_ = 0;
    ManualClock clock_;
    std::shared_ptr<DisplayArrangement> arrangement_;
};

TEST_F(X11ArrangementTest, RestorePlacesTheDisplayAtTheSavedSideAndOffset) {
    ASSERT_TRUE(settings_->setDisplayArrangement(R"({"side":"left","offset":-120})"));
    createArrangement();
    onMain([this] { arrangement_->start(); });
    EXPECT_EQ(geometry().bounds(id_), (Rect{-1024, -120, 1024, 768}));
    auto raw = placementOf(d(), spare_->output());
    auto primary = placementOf(d(), primaryOutput(d()));
    ASSERT_TRUE(raw && primary);
    EXPECT_EQ(raw->x, 0);
    EXPECT_EQ(raw->y, 0);
    EXPECT_EQ(primary->x, 1024);
    EXPECT_EQ(primary->y, 120);
}

TEST_F(X11ArrangementTest, MoveRightAndLeftKeepsTheOffsetAndSavesIt) {
    ASSERT_TRUE(settings_->setDisplayArrangement(R"({"side":"below","offset":300})"));
    createArrangement();
    onMain([this] { arrangement_->start(); });
    EXPECT_EQ(geometry().bounds(id_), (Rect{300, 1080, 1024, 768}));

    onMain([this] { arrangement_->move(DisplayArrangement::Side::left); });
    EXPECT_EQ(geometry().bounds(id_), (Rect{-1024, 0, 1024, 768}));  // from below: offset 0
    EXPECT_EQ(saved(), (DisplayArrangement::Saved{"left", 0}));

    ASSERT_TRUE(moveOutputRaw(d(), spare_->output(), 0, 200));  // still left, 200 lower
    // The move's own settle window is still open (the clock has not moved): not saved.
    std::this_thread::sleep_for(milliseconds(300));
    mainQueue()->flush();
    EXPECT_EQ(saved(), (DisplayArrangement::Saved{"left", 0}));

    onMain([this] { arrangement_->move(DisplayArrangement::Side::right); });
    EXPECT_EQ(geometry().bounds(id_), (Rect{1920, 200, 1024, 768}));
    EXPECT_EQ(saved(), (DisplayArrangement::Saved{"right", 200}));
}

TEST_F(X11ArrangementTest, UserMoveIsSavedAfterTheSettleWindow) {
    createArrangement();
    onMain([this] { arrangement_->start(); });  // nothing stored: nothing moves
    EXPECT_EQ(geometry().bounds(id_), (Rect{1920, 0, 1024, 768}));
    clock_.advance(seconds(3));

    // The user puts the display left of the main one and 50 points higher, with raw RandR
    // calls: the main display goes to root (1024, 50).
    auto primary = primaryOutput(d());
    ASSERT_TRUE(moveOutputRaw(d(), primary, 1024, 50));
    ASSERT_TRUE(moveOutputRaw(d(), spare_->output(), 0, 0));
    auto deadline = std::chrono::steady_clock::now() + seconds(5);
    std::optional<DisplayArrangement::Saved> record;
    while (std::chrono::steady_clock::now() < deadline) {
        mainQueue()->flush();
        record = saved();
        if (record && *record == DisplayArrangement::Saved{"left", -50}) break;
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(record, (DisplayArrangement::Saved{"left", -50}));
}

}  // namespace
}  // namespace panelora::test
