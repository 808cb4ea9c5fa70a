// The panelora program headless in the private sway, against usbmuxd-sim and tablet-sim: it
// chooses the sway backend by itself, streams, the tablet's touch reaches a window on the new
// output, no cursor packets go out (sway draws the pointer into the frames), and quitting exits
// cleanly. The output's reuse and parking between sessions, also at another profile, are the
// backend test's and the conformance suite's.
#include "test_prelude.h"

#include <signal.h>

#include "platform/linux/sway/sway_layout.h"
#include "sway_session.h"
#include "tablet_on_desktop.h"

namespace panelora::test {
namespace {

TEST(PaneloraOnSway, StreamsToAWindowOnItsOutputAndQuitsCleanly) {
    SwaySession* sway = SwaySession::shared();
    if (!sway) GTEST_SKIP() << SwaySession::sharedSkipReason();
    auto ipc = SwayIpc::connect(sway->ipcSocket(), nullptr);
    ASSERT_TRUE(ipc);
    std::string error;
    auto rig = TabletRig::start(
        {"--hello", "2732x2048@120", "--client-cursor", "--input", kTabletInput}, &error);
    ASSERT_TRUE(rig) << error;
    TempDir temp;
    ChildProcess::Options options;
    options.environment = sway->environment();
    options.set("DISPLAY=")
        .set("DBUS_SESSION_BUS_ADDRESS=")
        .set("XDG_CONFIG_HOME=" + temp.file("config"))
        .set("PANELORA_INSTANCE_NAME=sway-" + std::to_string(getpid()))
        .set("USBMUXD_SOCKET_ADDRESS=UNIX:" + rig->daemonSocket())
        .stderrMerged();
    auto panelora = ChildProcess::start({PANELORA_PATH, "--headless"}, options, &error);
    ASSERT_TRUE(panelora) << error;
    ASSERT_TRUE(panelora->waitForLine("status: Streaming 2732", 40s)) << panelora->output();

    // Ours is the output right of sway's own HEADLESS-1.
    std::string output;
    EXPECT_TRUE(eventually(
        [&] {
            for (const auto& o :
                 parseOutputs(ipc->request(SwayIpc::getOutputs).value_or(nullptr))) {
                if (o.rect.x == 1440 && o.rect.y == 0) output = o.name;
            }
            return !output.empty();
        },
        10s));
    auto canvas = WaylandCanvas::open({sway->waylandSocket(), 0, 0, 0xFFC02040}, output, &error);
    ASSERT_TRUE(canvas) << error;
    EXPECT_TRUE(eventually([&] { return canvas->received().buttons == kTabletClick; }, 15s));
    std::this_thread::sleep_for(2s);  // the hover, and a settled picture
    expectTabletSaw(*rig, 2732, 2048, 0xFFC02040, false);
    EXPECT_TRUE(panelora->waitForLine("status: Disconnected", 40s)) << panelora->output();

    panelora->signal(SIGTERM);
    EXPECT_EQ(panelora->wait(20s), 0) << panelora->output();
}

}  // namespace
}  // namespace panelora::test
