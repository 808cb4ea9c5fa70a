// The panelora program headless in the private sway, against usbmuxd-sim and tablet-sim: it
// chooses the sway backend by itself, streams, the tablet's touch reaches a window on the new
// output, no cursor packets go out (sway draws the pointer into the frames),
// another tablet plugged in streams at its own profile on the same output, and quitting exits
// cleanly with no output of ours left in the layout.
#include "test_prelude.h"

#include <signal.h>

#include "../desktop/tablet_on_desktop.h"
#include "platform/linux/sway/sway_layout.h"
#include "sway_session.h"

namespace panelora::test {
namespace {

class PaneloraOnSway : public ::testing::Test {
  protected:
    void SetUp() override {
        sway_ = SwaySession::shared();
        if (!sway_) GTEST_SKIP() << SwaySession::sharedSkipReason();
        ipc_ = SwayIpc::connect(sway_->ipcSocket(), nullptr);
        ASSERT_TRUE(ipc_);
    }
    // The outputs other than sway's own HEADLESS-1.
    std::vector<SwayOutput> added() {
        std::vector<SwayOutput> outputs;
        for (auto& output : parseOutputs(ipc_->request(SwayIpc::getOutputs).value_or(nullptr))) {
            if (output.name != "HEADLESS-1") outputs.push_back(output);
        }
        return outputs;
    }
    std::string beside() {
        for (const auto& output : added()) {
            if (output.rect.x == 1440 && output.rect.y == 0) return output.name;
        }
        return {};
    }

    // One tablet until its touch arrived, then unplugged; returns the output it streamed from.
    // sway draws the pointer into the frames: no cursor packets.
    std::string streamTo(ChildProcess& panelora, TabletRig& rig, int width, int height,
                         uint32_t colour) {
        EXPECT_TRUE(panelora.waitForLine("status: Streaming " + std::to_string(width), 40s))
            << panelora.output();
        std::string output;
        EXPECT_TRUE(eventually([&] { return !(output = beside()).empty(); }, 10s));
        std::string why;
        auto canvas = WaylandCanvas::open({sway_->waylandSocket(), 0, 0, colour}, output, &why);
        EXPECT_TRUE(canvas) << why;
        if (!canvas) return output;
        EXPECT_TRUE(eventually([&] { return canvas->received().buttons == kTabletClick; }, 15s));
        std::this_thread::sleep_for(2s);  // the hover, and a settled picture
        expectTabletSaw(rig, width, height, colour, false);
        EXPECT_TRUE(panelora.waitForLine("status: Disconnected", 40s)) << panelora.output();
        return output;
    }

    SwaySession* sway_ = nullptr;
    std::unique_ptr<SwayIpc> ipc_;
    TempDir temp_;
};

TEST_F(PaneloraOnSway, StreamsAndTheReplugReusesTheOutputAndQuitLeavesNoneInTheLayout) {
    const std::vector<std::string> args{"--hello", "2732x2048@120", "--client-cursor", "--input",
                                        kTabletInput};
    std::string error;
    auto rig = TabletRig::start(args, &error);
    ASSERT_TRUE(rig) << error;
    ChildProcess::Options options;
    options.environment = sway_->environment();
    options.set("DISPLAY=")
        .set("DBUS_SESSION_BUS_ADDRESS=")
        .set("XDG_CONFIG_HOME=" + temp_.file("config"))
        .set("PANELORA_INSTANCE_NAME=sway-" + std::to_string(getpid()))
        .set("USBMUXD_SOCKET_ADDRESS=UNIX:" + rig->daemonSocket())
        .stderrMerged();
    auto panelora = ChildProcess::start({PANELORA_PATH, "--headless"}, options, &error);
    ASSERT_TRUE(panelora) << error;

    const std::string first = streamTo(*panelora, *rig, 2732, 2048, 0xFFC02040);
    // Another tablet on the cable: the same output, at the fallback profile's size.
    ASSERT_TRUE(
        rig->replug({"--hello", "none", "--client-cursor", "--input", kTabletInput}, &error))
        << error;
    const std::string second = streamTo(*panelora, *rig, 2048, 1536, 0xFF2060C0);
    EXPECT_EQ(first, second) << "the replugged tablet got a new output";

    panelora->signal(SIGTERM);
    EXPECT_EQ(panelora->wait(20s), 0) << panelora->output();
    for (const auto& output : added())
        EXPECT_GE(output.rect.x, SwayLayout::kParkX) << output.name << " left in the layout";
}

}  // namespace
}  // namespace panelora::test
