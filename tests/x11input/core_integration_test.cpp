// The core's injectors and display arrangement running on the X11 backends against the real
// server.
#include "system_fixture.h"  // first: gtest before the X headers

#include <X11/Xatom.h>

#include <cstring>

#include "display/display_arrangement.h"
#include "eventually.h"
#include "files.h"
#include "input/pointer_injector.h"
#include "platform/linux/bundle/linux_platform.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "support/manual_clock.h"
#include "video/virtual_display.h"

namespace panelora::test {
namespace {

using X11CoreTest = X11InputTest;
using std::chrono::milliseconds;
using std::chrono::seconds;

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
    EXPECT_EQ(pointerPosition(d()), std::pair(1920 + 2047, 768));
}

class X11ArrangementTest : public X11InputTest {
  protected:
    void SetUp() override {
        X11InputTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        settings_ = std::make_shared<SettingsStore>(directory_.path() / "settings.json");
        spare_ = enableSpare("DUMMY1", 1024, 768, 1920, 0);
        ASSERT_TRUE(spare_);
        id_ = static_cast<DisplayID>(spare_->output());
    }
    void TearDown() override {
        if (arrangement_) onMain([this] { arrangement_->unregister(); });
        arrangement_.reset();
        spare_.reset();
        X11InputTest::TearDown();
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

    TempDir directory_;
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
    EXPECT_TRUE(eventually([&] {
        mainQueue()->flush();
        return saved() == DisplayArrangement::Saved{"left", -50};
    }));
    EXPECT_EQ(saved(), (DisplayArrangement::Saved{"left", -50}));
}

}  // namespace
}  // namespace panelora::test
