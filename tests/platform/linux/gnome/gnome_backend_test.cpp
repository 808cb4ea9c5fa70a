// The GNOME backends against a real headless mutter with PipeWire (tests/support/gnome_session),
// where GNOME differs from the other desktops (the conformance suite has what they share): the
// virtual monitor's mode and scale, the pointer past the monitor's edge, the monitor moved left
// and right, and the bus.
#include "test_prelude.h"

#include "display/display_arrangement.h"
#include "gnome_session.h"
#include "input/pointer_injector.h"
#include "platform/linux/dbus/session_bus.h"
#include "platform/linux/gnome/gnome_platform.h"
#include "support/settings_store.h"
#include "video/virtual_display.h"

namespace panelora::test {
namespace {

class GnomeBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        gnome_ = GnomeSession::shared();
        if (!gnome_) GTEST_SKIP() << GnomeSession::sharedSkipReason();
        std::string why;
        platform_ = GnomePlatform::create({gnome_->busAddress(), gnome_->pipewireSocket(),
                                           LibavVideoCodecFactory::Encoders::automatic},
                                          &why);
        ASSERT_TRUE(platform_) << why;
    }

    std::unique_ptr<VirtualDisplay> makeDisplay(const StreamProfile& profile) {
        return VirtualDisplay::create(platform_->virtualDisplays(), profile, 1);
    }

    GnomeSession* gnome_ = nullptr;
    std::unique_ptr<GnomePlatform> platform_;
};

// The size, the place and the end are the conformance suite's; mutter's own mode and scale here.
TEST_F(GnomeBackend, EachDisplayIsAMonitorOfTheStreamsPixelsAndRateAtTheNearestScale) {
    const std::pair<StreamProfile, double> cases[] = {
        {StreamProfile::fallback, 2.0},
        // 2732 pixels looking like 1708 points want 1.6: mutter's nearest is 2.
        {StreamProfile::negotiate(2732, 2048, 120, false, std::nullopt), 2.0},
        {StreamProfile::negotiate(2732, 2048, 120, true, std::nullopt), 1.0},
    };
    for (const auto& [profile, scale] : cases) {
        SCOPED_TRACE(profile.width);
        auto display = makeDisplay(profile);
        ASSERT_TRUE(display);
        auto spec = platform_->geometry()->specOf(display->displayID());
        ASSERT_TRUE(spec);
        const MonitorLayout layout = platform_->geometry()->layout();
        const MonitorInfo* info = layout.monitor(*spec);
        ASSERT_TRUE(info && info->currentMode());
        EXPECT_EQ(info->currentMode()->width, profile.width);
        EXPECT_EQ(info->currentMode()->height, profile.height);
        EXPECT_NEAR(info->currentMode()->refreshRate, double(profile.fps), 0.01);
        EXPECT_EQ(layout.logicalMonitorOf(*spec)->scale, scale);
    }
}

// Let go of at once, before its thread ran its loop: the quit must not be lost (it was, and the
// join waited for ever).
TEST(GnomeSessionBus, EndsItsThreadAlsoWhenLetGoAtOnce) {
    GnomeSession* gnome = GnomeSession::shared();
    if (!gnome) GTEST_SKIP() << GnomeSession::sharedSkipReason();
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([address = gnome->busAddress(), done] {
        for (int i = 0; i < 200; ++i) {
            std::string why;
            if (!SessionBus::connect(address, &why)) break;
        }
        done->set_value();
    }).detach();  // left behind if it hangs, so that the test can fail
    EXPECT_EQ(finished.wait_for(60s), std::future_status::ready) << "a bus never ended";
}

TEST_F(GnomeBackend, ThePointerLeavingTheMonitorIsSeenJustPastItsEdge) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    const Rect bounds = platform_->geometry()->bounds(display->displayID());
    PointerInjector injector(platform_->poster(), platform_->geometry(), Clock::system());
    auto pointer = [&] { return platform_->cursor()->location(); };
    const uint8_t hover = 4;
    ASSERT_TRUE(repeatUntil([&] { injector.injectTouch(hover, display->displayID(), 0.01f, 0.5f); },
                            [&] { return pointer() == Point(1440 + 20, 768); }));
    // Relative motion takes it over the left edge onto the primary (repeated: mutter drops
    // motion while it restarts the stream, as it may after the monitor appeared).
    const auto session = platform_->monitors()->find(display->displayID())->session();
    ASSERT_TRUE(repeatUntil([&] { session->pointerMotionRelative(-200, 0); },
                            [&] { return pointer() && !bounds.contains(*pointer()); }));
    EXPECT_EQ(pointer(), Point(1440 - 1, 768));
}

TEST_F(GnomeBackend, TheDisplayMovesLeftAndRightOfThePrimaryAndTheMoveIsNoticed) {
    auto display = makeDisplay(StreamProfile::fallback);
    ASSERT_TRUE(display);
    const DisplayID id = display->displayID();
    auto geometry = platform_->geometry();
    std::atomic<bool> moved{false};
    auto token = geometry->addReconfigurationCallback([&](DisplayID d, uint32_t flags) {
        if (d == id && (flags & DisplayChange::movedFlag)) moved = true;
    });
    TempDir dir;
    auto store = std::make_shared<SettingsStore>(dir.file("settings.json"));
    auto arrangement = DisplayArrangement::create(id, geometry, store, Clock::system());
    arrangement->move(DisplayArrangement::Side::left);
    EXPECT_EQ(geometry->bounds(id), (Rect{-2048, 0, 2048, 1536}));
    EXPECT_EQ(geometry->bounds(geometry->mainDisplayID()), (Rect{0, 0, 1440, 900}));
    EXPECT_EQ(store->displayArrangement(), R"({"offset":0.0,"side":"left"})");
    EXPECT_TRUE(eventually([&] { return moved.load(); }));

    arrangement->move(DisplayArrangement::Side::right);
    EXPECT_EQ(geometry->bounds(id), (Rect{1440, 0, 2048, 1536}));
    EXPECT_EQ(store->displayArrangement(), R"({"offset":0.0,"side":"right"})");
    geometry->removeReconfigurationCallback(token);
}

}  // namespace
}  // namespace panelora::test
