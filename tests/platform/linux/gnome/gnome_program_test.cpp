// The panelora program headless on the private GNOME session, against usbmuxd-sim and tablet-sim:
// it chooses the GNOME backend by itself, streams at each profile (the tablet's hello and the
// quality setting decide it), the tablet's touch reaches a window on the virtual monitor, the
// tablet gets cursor packets and the window's colour, a tablet unplugged ends the session and the
// next one starts another, GNOME ending the stream ends the session and the next attempt streams
// again, and quitting ends the program cleanly (the smooth setting is a new start).
#include "test_prelude.h"

#include <signal.h>

#include "gnome_session.h"
#include "tablet_on_desktop.h"

namespace panelora::test {
namespace {

// What one tablet is, and what panelora makes of it.
struct Tablet {
    std::string hello;     // tablet-sim's --hello; "none": the fallback profile, peer version 1
    std::string settings;  // panelora's
    std::string status;    // panelora's status while it streams
    int width, height;     // the decoded pictures
    uint32_t colour;       // of the window on the virtual monitor
    bool sentHello() const { return hello != "none"; }
};

TEST(PaneloraOnGnome, EveryProfileWithTheTabletsOnTheCable) {
    GnomeSession* gnome = GnomeSession::shared();
    if (!gnome) GTEST_SKIP() << GnomeSession::sharedSkipReason();
    TempDir temp;
    // panelora --headless in the GNOME session (no X display to fall back on), with settings
    // of its own and the rig's daemon.
    auto startPanelora = [&](const TabletRig& rig, const std::string& settings) {
        std::filesystem::create_directories(temp.path() / "config/panelora");
        writeFile(temp.path() / "config/panelora/settings.json", settings);
        ChildProcess::Options options;
        options.environment = gnome->environment();
        options.set("DISPLAY=")
            .set("XDG_CONFIG_HOME=" + temp.file("config"))
            .set("PANELORA_INSTANCE_NAME=gnome-" + std::to_string(getpid()))
            .set("USBMUXD_SOCKET_ADDRESS=UNIX:" + rig.daemonSocket())
            .stderrMerged();
        std::string error;
        auto panelora = ChildProcess::start({PANELORA_PATH, "--headless"}, options, &error);
        EXPECT_TRUE(panelora) << error;
        return panelora;
    };
    // One tablet on the cable until its touch has arrived, then unplugged; checks what both
    // ends saw.
    auto streamTo = [&](ChildProcess& panelora, TabletRig& rig, const Tablet& tablet) {
        SCOPED_TRACE(tablet.status);
        ASSERT_TRUE(panelora.waitForLine("status: " + tablet.status, 40s)) << panelora.output();
        std::string why;
        // The virtual monitor sits right of the 1440 × 900 primary.
        auto canvas = WaylandCanvas::open({gnome->waylandSocket(), 1440, 0, tablet.colour}, &why);
        ASSERT_TRUE(canvas) << why;
        canvas->setPointer(24, 0xFF000000);  // the cursor image the tablet gets
        ASSERT_TRUE(panelora.waitForLine("stats: ", 10s)) << panelora.output();
        EXPECT_TRUE(eventually([&] { return canvas->received().buttons == kTabletClick; }, 15s));
        std::this_thread::sleep_for(2s);  // the hover's cursor packets, and a settled picture
        expectTabletSaw(rig, tablet.width, tablet.height, tablet.colour, tablet.sentHello());
        ASSERT_TRUE(panelora.waitForLine("status: Disconnected", 40s)) << panelora.output();
    };
    auto quit = [](ChildProcess& panelora) {
        panelora.signal(SIGTERM);
        EXPECT_EQ(panelora.wait(20s), 0) << panelora.output();
    };

    const std::string sharp = "\u00b7 looks like 1708\u00d71280";
    const std::vector<Tablet> tablets{
        {"2732x2048@120", "{}", "Streaming 2732\u00d72048 @ 60 fps " + sharp, 2732, 2048,
         0xFFC02040},
        {"none", "{}", "Streaming 2048\u00d71536 @ 60 fps \u00b7 looks like 1024\u00d7768", 2048,
         1536, 0xFF2060C0},
        {"640x480@24", "{}", "Streaming 640\u00d7480 @ 30 fps \u00b7 looks like 320\u00d7240", 640,
         480, 0xFF30A050},
        {"2732x2048@120", R"({"preferSmooth": true})",
         "Streaming 1796\u00d71346 @ 120 fps " + sharp, 1796, 1346, 0xFFE0E0E0},
    };
    std::unique_ptr<TabletRig> rig;
    std::unique_ptr<ChildProcess> panelora;
    for (size_t i = 0; i < tablets.size(); ++i) {
        const std::vector<std::string> args{"--hello", tablets[i].hello, "--client-cursor",
                                            "--input", kTabletInput};
        std::string error;
        ASSERT_TRUE(rig ? rig->replug(args, &error) : bool(rig = TabletRig::start(args, &error)))
            << error;
        if (i == 0 || tablets[i].settings != tablets[i - 1].settings) {
            if (panelora) quit(*panelora);
            ASSERT_TRUE(panelora = startPanelora(*rig, tablets[i].settings));
        }
        if (i == 0) {
            // GNOME ends the stream (the user stops sharing, PipeWire restarts): the session
            // ends cleanly, and the next attempt streams again.
            ASSERT_TRUE(panelora->waitForLine("status: " + tablets[i].status, 40s))
                << panelora->output();
            const std::vector<uint32_t> nodes = gnome->screenCastNodes();
            ASSERT_EQ(nodes.size(), 1u);
            ASSERT_TRUE(gnome->destroyNode(nodes[0], &error)) << error;
            ASSERT_TRUE(panelora->waitForLine("status: Disconnected", 20s)) << panelora->output();
        }
        streamTo(*panelora, *rig, tablets[i]);
        if (HasFatalFailure()) return;
    }
    quit(*panelora);
}

}  // namespace
}  // namespace panelora::test
