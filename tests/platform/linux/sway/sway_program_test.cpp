// The panelora program headless in the private sway, against usbmuxd-sim and tablet-sim: it
// chooses the sway backend by itself, streams, the tablet's touches, keys and scroll reach a
// window on the new output, no cursor packets go out (sway draws the pointer into the frames),
// another tablet plugged in streams at its own profile on the same output, and quitting exits
// cleanly with no output of ours left in the layout.
#include "test_prelude.h"

#include <signal.h>

#include "platform/linux/sway/sway_layout.h"
#include "png_reader.h"
#include "sway_session.h"
#include "tool_rig.h"
#include "wayland_canvas.h"

namespace panelora::test {
namespace {

const char* kInput =
    "at 5000 touch down 0.5 0.5; at 5100 touch up 0.5 0.5; at 5600 key 4 down shift; "
    "at 5650 key 4 up shift; at 5800 key 4 down; at 5850 key 4 up; at 6000 scroll 0 40; "
    "at 6200 touch hover 0.25 0.25";

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

    // One tablet until its input arrived, then unplugged; returns the output it streamed from.
    // Without a hello (the fallback profile, peer version 1) only touches are sent.
    std::string streamTo(ChildProcess& panelora, TabletRig& rig, int width, uint32_t colour) {
        const bool hello = width != 2048;
        EXPECT_TRUE(panelora.waitForLine("status: Streaming " + std::to_string(width), 40s))
            << panelora.output();
        std::string output;
        EXPECT_TRUE(eventually([&] { return !(output = beside()).empty(); }, 10s));
        std::string why;
        auto canvas = WaylandCanvas::open({sway_->waylandSocket(), 0, 0, colour}, output, &why);
        EXPECT_TRUE(canvas) << why;
        if (!canvas) return output;
        using Key = WaylandCanvas::Key;
        constexpr uint32_t kA = 30, kShift = 42;
        const std::vector<Key> typed{{kShift, true}, {kA, true}, {kShift, false},
                                     {kA, false},    {kA, true}, {kA, false}};
        const std::vector<Key> click{{0x110, true}, {0x110, false}};
        EXPECT_TRUE(eventually([&] { return canvas->buttons() == click; }, 15s));
        if (hello) {
            EXPECT_TRUE(eventually([&] { return canvas->keys() == typed; }, 5s));
            EXPECT_TRUE(eventually([&] { return canvas->verticalScroll() < -39; }, 5s));
        }
        std::this_thread::sleep_for(1s);  // a settled picture
        EXPECT_EQ(canvas->keys(), hello ? typed : std::vector<Key>{});

        auto report = rig.finish();
        EXPECT_TRUE(report);
        if (!report) return output;
        EXPECT_EQ((*report)["violationCount"], 0) << report->dump(2);
        EXPECT_GT((*report)["frames"]["decoded"].get<int>(), 0) << report->dump(2);
        EXPECT_EQ((*report)["lastPicture"]["width"], width);
        EXPECT_EQ((*report)["cursorPositions"], 0);
        EXPECT_EQ((*report)["cursorImages"], 0);
        auto picture = readPng(rig.pngPath());
        EXPECT_TRUE(picture);
        if (picture) {
            const uint32_t sample = picture->rgbAt(0.75, 0.75);
            for (int shift : {16, 8, 0}) {
                EXPECT_NEAR(int(sample >> shift & 0xFF), int(colour >> shift & 0xFF), 12)
                    << std::hex << sample;
            }
        }
        EXPECT_TRUE(panelora.waitForLine("status: Disconnected", 40s)) << panelora.output();
        return output;
    }

    SwaySession* sway_ = nullptr;
    std::unique_ptr<SwayIpc> ipc_;
    TempDir temp_;
};

TEST_F(PaneloraOnSway, StreamsAndTheReplugReusesTheOutputAndQuitLeavesNoneInTheLayout) {
    const std::vector<std::string> args{"--hello", "2732x2048@120", "--client-cursor", "--input",
                                        kInput};
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

    const std::string first = streamTo(*panelora, *rig, 2732, 0xFFC02040);
    // Another tablet on the cable: the same output, at the fallback profile's size.
    ASSERT_TRUE(rig->replug({"--hello", "none", "--client-cursor", "--input", kInput}, &error))
        << error;
    const std::string second = streamTo(*panelora, *rig, 2048, 0xFF2060C0);
    EXPECT_EQ(first, second) << "the replugged tablet got a new output";

    panelora->signal(SIGTERM);
    EXPECT_EQ(panelora->wait(20s), 0) << panelora->output();
    for (const auto& output : added())
        EXPECT_GE(output.rect.x, SwayLayout::kParkX) << output.name << " left in the layout";
}

}  // namespace
}  // namespace panelora::test
