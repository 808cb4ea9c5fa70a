// The Controller supervising a real Session (through sessionFactory()) on one end of a socket
// pair, with the session's platform seams faked: the adapter's callbacks, the streaming status,
// the statistics line and the end. (A setting change stops a session through the same stop()
// as a shutdown, which the program's own tests check on real displays.)

#include "app/controller.h"
#include "app_fakes.h"
#include "session_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

// Hands out the session's end of a socket pair; the test keeps the tablet's end.
class SocketPairDevices final : public DeviceSource {
  public:
    SocketPair pair;
    std::vector<USBMux::Device> listDevices() override { return {{1, "tablet"}}; }
    std::optional<int> connect(int64_t, uint16_t) override {
        if (pair.fd < 0) return std::nullopt;
        return pair.take();
    }
};

struct RealSessionRig : AppRig {
    SessionFakes fakes;
    std::shared_ptr<SocketPairDevices> tablet = std::make_shared<SocketPairDevices>();
    std::shared_ptr<Controller> controller;

    RealSessionRig() {
        AppEnvironment env = environment();
        env.devices = tablet;
        env.makeSession = sessionFactory([this] { return fakes.environment(); });
        env.mainQueue = fakes.mainQueue;
        env.clock = &fakes.clock;
        controller = Controller::create(std::move(env));
    }
    ~RealSessionRig() {
        controller->shutdown();
        runUntil([] { return true; });
    }
    // Runs the main queue until `done`, for events that come from the session's own threads.
    template <class Predicate>
    bool runUntil(Predicate done) {
        return eventually([&] {
            for (int i = 0; i < 100; ++i) {
                fakes.clock.runUntilIdle();
                if (backgroundClock.pendingTasks() == 0) break;
                backgroundClock.runUntilIdle();
            }
            return done();
        });
    }
};

TEST(RealSessionSupervision, StreamsShowsStatisticsAndEndsWhenTheTabletGoes) {
    RealSessionRig rig;
    rig.tablet->pair.send(Wire::packet(Wire::PacketType::hello, hex("0AAC 0800 3C 00 02")));
    rig.controller->start();
    ASSERT_TRUE(rig.runUntil([&] { return rig.controller->hasSession(); }));
    EXPECT_EQ(rig.controller->status(),
              "Streaming 2732\u00D72048 @ 60 fps \u00B7 looks like 1708\u00D71280");
    EXPECT_TRUE(rig.controller->canArrange());
    EXPECT_EQ(rig.fakes.displays.aliveCount(), 1u);
    // The statistics tick runs on the manual clock; its record reaches the menu's line.
    rig.fakes.clock.advance(1s);
    ASSERT_TRUE(rig.runUntil([&] { return !rig.controller->statsLine().empty(); }));
    EXPECT_NE(rig.controller->statsLine().find("fps"), std::string::npos);
    // The tablet closes the connection: the reader ends the session on its own thread.
    rig.tablet->pair.closePeer();
    ASSERT_TRUE(
        rig.runUntil([&] { return rig.controller->status() == Controller::disconnectedText; }));
    EXPECT_EQ(rig.controller->statsLine(), "");
    EXPECT_FALSE(rig.controller->canArrange());
    EXPECT_FALSE(rig.controller->hasSession());
    EXPECT_TRUE(rig.runUntil([&] { return rig.fakes.displays.aliveCount() == 0; }));
}

}  // namespace
}  // namespace panelora::test
