// The Controller supervising a real Session (through sessionFactory()) on one end of a socket
// pair, with the session's platform seams faked: the adapter's callbacks, the streaming status,
// the statistics line and the end.
#include <gtest/gtest.h>

#include <thread>

#include "../session/session_fakes.h"
#include "app/controller.h"
#include "app_fakes.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;

// Hands out the session's end of a socket pair; the test keeps the tablet's end.
class SocketPairDevices final : public DeviceSource {
  public:
    int sessionFd = -1;
    std::vector<USBMux::Device> listDevices() override { return {{1, "tablet"}}; }
    std::optional<int> connect(int64_t, uint16_t) override {
        if (sessionFd < 0) return std::nullopt;
        return std::exchange(sessionFd, -1);
    }
};

struct RealSessionRig {
    ManualClock clock;
    ManualClock backgroundClock;
    test::FakeDisplays displays;
    test::FakeCapture capture{displays};
    test::FakeCodecs codecs;
    std::shared_ptr<test::RecordingInput> input = std::make_shared<test::RecordingInput>();
    std::shared_ptr<SerialQueue> mainQueue = clock.makeQueue("main");
    std::shared_ptr<SocketPairDevices> devices = std::make_shared<SocketPairDevices>();
    testing::TempDir dir;
    test::Tablet tablet;
    std::shared_ptr<Controller> controller;

    RealSessionRig() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        devices->sessionFd = fds[0];
        tablet.fd = fds[1];

        AppEnvironment env;
        env.permissions = std::make_shared<testing::FakePermissions>();
        env.makeSession = sessionFactory([this] {
            SessionEnvironment session;
            session.displays = &displays;
            session.capture = &capture;
            session.codecs = &codecs;
            session.input = input;
            session.makeCursorTracker = [](DisplayID, int64_t, SessionEnvironment::PacketSender) {
                return std::make_shared<test::FakeTracker>();
            };
            session.makeArrangement = [](DisplayID) {
                return std::make_shared<test::FakeArrangement>();
            };
            session.activity = SessionEnvironment::noActivity();
            session.clock = &clock;
            session.mainQueue = mainQueue;
            session.makeQueue = [this](const char* label, QueuePriority priority) {
                if (std::string(label) == "slatecast.send")
                    return SerialQueue::create(label, priority);
                return clock.makeQueue(label);
            };
            session.helloTimeout = 100ms;
            return session;
        });
        env.devices = devices;
        env.settings = std::make_shared<SettingsStore>(dir.path() / "settings.json");
        env.mainQueue = mainQueue;
        env.background = backgroundClock.makeQueue("background");
        env.clock = &clock;
        controller = Controller::create(std::move(env));
    }

    ~RealSessionRig() {
        if (controller) controller->shutdown();
        settle();
    }

    void settle() {
        for (int i = 0; i < 100; ++i) {
            clock.runUntilIdle();
            if (backgroundClock.pendingTasks() == 0) return;
            backgroundClock.runUntilIdle();
        }
    }

    size_t liveDisplays() {
        std::lock_guard lock(displays.mutex);
        return displays.alive.size();
    }

    // Runs the main queue until `done`, for events that come from the session's own threads.
    template <class Predicate>
    bool runUntil(Predicate done) {
        for (int i = 0; i < 2500; ++i) {
            settle();
            if (done()) return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }
};

TEST(RealSessionSupervision, StreamsShowsStatisticsAndEndsWhenTheTabletGoes) {
    RealSessionRig rig;
    rig.tablet.sendHello(2732, 2048, 60, /*flags*/ 0, /*version*/ 2);
    rig.controller->start();
    rig.settle();
    ASSERT_EQ(rig.controller->status(),
              "Streaming 2732\u00D7"
              "2048 @ 60 fps \u00B7 looks like 1708\u00D7"
              "1280");
    EXPECT_TRUE(rig.controller->canArrange());
    EXPECT_EQ(rig.liveDisplays(), 1u);

    // The statistics tick runs on the manual clock; its record reaches the menu's line.
    rig.clock.advance(1s);
    ASSERT_TRUE(rig.runUntil([&] { return !rig.controller->statsLine().empty(); }));
    EXPECT_NE(rig.controller->statsLine().find("fps"), std::string::npos);

    // The tablet closes the connection: the reader ends the session on its own thread.
    ::close(std::exchange(rig.tablet.fd, -1));
    ASSERT_TRUE(rig.runUntil([&] { return rig.controller->status() == "Disconnected"; }));
    EXPECT_EQ(rig.controller->statsLine(), "");
    EXPECT_FALSE(rig.controller->canArrange());
    EXPECT_FALSE(rig.controller->hasSession());
    EXPECT_TRUE(rig.runUntil([&] { return rig.liveDisplays() == 0; }));
}

TEST(RealSessionSupervision, SettingChangeStopsTheRealSessionAndRemovesItsDisplay) {
    RealSessionRig rig;
    rig.controller->start();
    rig.settle();  // no hello: the fallback profile
    ASSERT_EQ(rig.controller->status().rfind("Streaming 2048\u00D7"
                                             "1536",
                                             0),
              0u)
        << rig.controller->status();
    rig.controller->setPreferSmooth(true);
    rig.settle();
    EXPECT_EQ(rig.controller->status(), "Disconnected");
    EXPECT_TRUE(rig.runUntil([&] { return rig.liveDisplays() == 0; }));
}

}  // namespace
}  // namespace panelora
