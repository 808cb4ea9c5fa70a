// The shell against the real things: the permission probes on a private Xorg server, and the
// panelora program itself as processes against usbmuxd-sim and tablet-sim (the whole chain: what
// the tablet decodes and sends back, its ends, the hand-over between two copies, the tray menu's
// screenshot).
#include "x11_helpers.h"  // first: gtest before Xlib, whose macros break its templates

#include <X11/keysym.h>
#include <signal.h>

#include <sstream>

#include "animator.h"
#include "platform/linux/shell/linux_permissions.h"
#include "platform/linux/x11/x11_platform.h"
#include "png_reader.h"
#include "process_counts.h"
#include "session/session.h"
#include "tool_rig.h"

namespace panelora::test {
namespace {

namespace fs = std::filesystem;

uint16_t freePort() {
    uint16_t port = 0;
    bindLoopback(port, false);
    return port;
}

// A private folder, instance name and daemon socket for panelora processes on `xorg`.
struct ProgramRig {
    explicit ProgramRig(const XorgServer& xorg) : xorg(xorg) {}

    std::unique_ptr<ChildProcess> start(const std::string& instance,
                                        std::vector<std::string> args = {"--headless"},
                                        std::vector<std::string> environment = {}) {
        std::vector<std::string> argv{PANELORA_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        environment.insert(
            environment.end(),
            {"DISPLAY=" + xorg.displayName(), "XDG_CONFIG_HOME=" + temp.file("config"),
             "PANELORA_INSTANCE_NAME=" + instance + "-" + std::to_string(getpid()),
             "USBMUXD_SOCKET_ADDRESS=UNIX:" + muxSocket,
             "GDK_SCALE="});  // the scale factor comes from the server
        ChildProcess::Options options;
        options.environment = environment;
        return ChildProcess::start(argv, options.stderrTo(temp.file(instance + ".err")));
    }
    // The cable: usbmuxd-sim listing the simulated tablet, or nothing.
    bool plugIn(bool withDevice = true) {
        mux.reset();  // a daemon still on the socket would keep the new one off it
        mux = UsbmuxdSim::start(withDevice ? std::vector{device} : std::vector<std::string>{},
                                muxSocket);
        return bool(mux);
    }
    std::unique_ptr<TabletSim> tablet(std::vector<std::string> args = {}) {
        return TabletSim::start(args, port);
    }

    const XorgServer& xorg;
    TempDir temp;
    const std::string muxSocket = temp.file("mux.sock");
    const uint16_t port = freePort();
    const std::string device = "SIM0001,USB,127.0.0.1:" + std::to_string(port);
    std::unique_ptr<UsbmuxdSim> mux;
};

// Where the program's virtual display is: the CRTC that shows a "panelora-" mode.
std::optional<Rect> virtualDisplay(Display* d) {
    std::optional<Rect> found;
    auto screen = screenResources(d);
    for (int c = 0; screen && c < screen->ncrtc; ++c) {
        x11::CrtcInfo crtc(XRRGetCrtcInfo(d, screen.get(), screen->crtcs[c]));
        for (int m = 0; crtc && m < screen->nmode; ++m) {
            if (screen->modes[m].id == crtc->mode &&
                std::string_view(screen->modes[m].name).starts_with("panelora-"))
                found = Rect{double(crtc->x), double(crtc->y), double(crtc->width),
                             double(crtc->height)};
        }
    }
    return found;
}

bool colourNear(uint32_t actual, uint32_t expected, int tolerance = 24) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(int((actual >> shift) & 0xFF) - int((expected >> shift) & 0xFF)) > tolerance)
            return false;
    }
    return true;
}

// Ends tablet-sim gracefully (it closes the connection, saves the picture and writes the report);
// the report, checked for violations.
nlohmann::json finish(ChildProcess& tablet, const std::string& report) {
    tablet.signal(SIGTERM);
    EXPECT_EQ(tablet.wait(20s), 0) << tablet.output();
    const auto json = nlohmann::json::parse(readFile(report), nullptr, false);
    EXPECT_EQ(json["violationCount"], 0) << json.dump(2);
    return json;
}

// The tablet's touch clicks a window on the virtual display and a key with Shift types "A" in
// it; the pattern drawn there is what the tablet decodes, and its pongs give link times. Then a
// tablet that stops reading makes the host drop frames instead of queueing them; when it reads
// again the stream recovers with a key frame and decodes cleanly, and it leaves while frames
// flow. (The backlog's limit is checked on a socket pair.)
TEST(PaneloraProcess, TheTabletSeesTheDesktopTouchesItAndOutlastsAStall) {
    PANELORA_REQUIRE_XORG(xorg);
    ProgramRig rig(*xorg);
    ASSERT_TRUE(rig.plugIn());
    auto x = openDisplay(xorg->displayName());
    ASSERT_TRUE(x);
    auto panelora = rig.start("chain");
    auto line = [&](std::string_view prefix, std::chrono::seconds timeout = 20s) {
        auto l = panelora->readUntil([&](const auto& l) { return l.starts_with(prefix); }, timeout);
        return l.value_or("(none) " + panelora->stderrText());
    };
    // Key requests make the host re-send the still picture, so the last decoded one is current.
    auto tablet =
        rig.tablet({"--connections", "1", "--key-request-every", "250", "--json",
                    rig.temp.file("a.json"), "--save-png", rig.temp.file("a.png"), "--input",
                    "at 4000 touch down 0.25 0.25; at 4100 touch up 0.25 0.25; "
                    "at 4300 key 4 down shift; at 4350 key 4 up shift"});
    ASSERT_TRUE(tablet);
    ASSERT_EQ(line("status: Streaming "),
              "status: Streaming 2732\u00d72048 @ 60 fps \u00b7 looks like 1708\u00d71280");
    EXPECT_EQ(shownModeNames(x.get(), "panelora-1708x1280-").size(), 1u);
    const auto rect = virtualDisplay(x.get());
    ASSERT_TRUE(rect);
    TestWindow window(x.get(), int(rect->x), int(rect->y), int(rect->width), int(rect->height),
                      true);
    const auto press = waitForEvent(
        x.get(), [](const XEvent& e) { return e.type == ButtonPress; }, 30s);
    ASSERT_TRUE(press) << "no ButtonPress reached the window";
    EXPECT_EQ(press->xbutton.button, 1u);
    EXPECT_NEAR(press->xbutton.x, 0.25 * rect->width, 1.0);
    EXPECT_NEAR(press->xbutton.y, 0.25 * rect->height, 1.0);
    // The modifier's own press comes first; the first other key must be an "A".
    auto isKey = [](int type) {
        return [type](const XEvent& e) {
            return e.type == type && !IsModifierKey(typedKeysym(e.xkey));
        };
    };
    const auto key = waitForEvent(x.get(), isKey(KeyPress), 30s);
    ASSERT_TRUE(key) << "no KeyPress reached the focused window";
    EXPECT_EQ(typedKeysym(key->xkey), KeySym(XK_A)) << XKeysymToString(typedKeysym(key->xkey));
    ASSERT_TRUE(waitForEvent(x.get(), isKey(KeyRelease), 30s));  // the script's last input
    const auto [px, py] = pointerPosition(x.get());
    EXPECT_TRUE(rect->contains(Point{double(px), double(py)})) << px << "," << py;
    EXPECT_TRUE(panelora->readUntil(
        [](const auto& l) { return l.starts_with("stats: ") && l.find(" \u00b7 link ") != l.npos; },
        10s))
        << "no link times";
    auto report = finish(tablet->process(), rig.temp.file("a.json"));
    EXPECT_EQ(line("status: "), "status: Disconnected");
    EXPECT_EQ(report["inputsSent"], 4);
    EXPECT_GT(report["frames"]["decoded"].get<int>(), 0);
    EXPECT_EQ(report["frames"]["corrupt"], 0);
    const auto png = readPng(rig.temp.file("a.png"));
    ASSERT_TRUE(png);
    ASSERT_EQ(png->width, 2732);
    // Two points in each quadrant, away from the edges where H.264 blurs the colours together
    // (and from the pointer, drawn at the touch).
    for (int q = 0; q < 4; ++q) {
        for (double fx : {0.1, 0.4}) {
            for (double fy : {0.1, 0.4}) {
                const double u = fx + (q % 2 ? 0.5 : 0.0), v = fy + (q < 2 ? 0.0 : 0.5);
                EXPECT_TRUE(colourNear(png->rgbAt(u, v), TestWindow::kQuadrantColours[q]))
                    << "at (" << u << ", " << v << "): " << std::hex << png->rgbAt(u, v);
            }
        }
    }

    // The stall must outlast the buffers on the way (the daemon's relay and both TCP ends hold
    // about 7 MB at these rates) plus the host's own 3 MB backlog.
    tablet = rig.tablet({"--connections", "1", "--hello", "1600x1200@60", "--stall-at", "1000",
                         "--stall-for", "6500", "--json", rig.temp.file("b.json")});
    ASSERT_TRUE(tablet);
    ASSERT_TRUE(line("status: Streaming ").starts_with("status: Streaming "));
    const auto stalled = virtualDisplay(x.get());
    ASSERT_TRUE(stalled);
    auto animator = Animator::start(xorg->displayName(), *stalled, 60, Animator::noise());
    ASSERT_TRUE(animator);
    // Statistics, "stats: 60 fps · …", come through the stall, which is over 7.5 s after the
    // connection; then frames flow again: a record with frames and none dropped, then another.
    auto stats = [&] { return line("stat", 30s); };
    std::string l;
    for (const auto over = std::chrono::steady_clock::now() + 8s;
         std::chrono::steady_clock::now() < over;)
        ASSERT_TRUE((l = stats()).starts_with("stats: ")) << "the stall ended the session: " << l;
    int flowing = 0;
    for (int n = 0; n < 30 && flowing < 2; ++n) {
        ASSERT_TRUE((l = stats()).starts_with("stats: ")) << "the session ended: " << l;
        const bool sent = std::stoi(l.substr(7)) > 0 && (flowing || l.find(" dropped ") == l.npos);
        flowing = sent ? flowing + 1 : 0;
    }
    ASSERT_EQ(flowing, 2) << "the stream did not recover";
    report = finish(tablet->process(), rig.temp.file("b.json"));
    EXPECT_EQ(line("status: "), "status: Disconnected");
    // The session's log of each second ("… · dropped 12 · backlog 3120 KB"): frames were dropped
    // at the backlog's limit, which held within one large frame.
    int64_t worstKB = 0;
    bool droppedAtTheLimit = false;
    std::istringstream log(panelora->stderrText());
    for (std::string entry; std::getline(log, entry);) {
        const size_t at = entry.rfind(" backlog ");
        if (at == entry.npos) continue;
        const int64_t kb = std::stoll(entry.substr(at + 9));
        worstKB = std::max(worstKB, kb);
        droppedAtTheLimit |= kb >= 3000 && entry.find(" dropped ") != entry.npos;
    }
    EXPECT_TRUE(droppedAtTheLimit) << "no frame was dropped while the tablet stalled";
    EXPECT_LE(worstKB, Session::maxPendingBytes / 1000 + 1500);
    EXPECT_EQ(report["stalls"], 1);
    EXPECT_EQ(report["frames"]["corrupt"], 0);
    EXPECT_EQ(report["frames"]["missingReference"], 0);
    EXPECT_GE(report["frames"]["key"].get<int>(), 2);  // the first, and the one after the drops
    EXPECT_EQ(report["frames"]["decoded"], report["frames"]["received"]);
}

struct ProcessUse {
    int64_t rssKB = 0;
    int descriptors = 0;
    int threads = 0;
};

ProcessUse processUse(pid_t pid) {
    const std::string status = readFile(procFolder(pid) + "/status");
    const size_t rss = status.find("VmRSS:");
    return {rss == std::string::npos ? 0 : std::stoll(status.substr(rss + 6)),
            openDescriptorCount(pid), threadCount(pid)};
}

// The headless program's status follows the cable and the tablet; then a tablet comes and goes
// for a long time: every session streams, and once they are over nothing is left of them
// (descriptors, threads, outputs, modes, memory). The sessions end in turn with the tablet
// killed, the tablet closing the connection and the cable pulled (the daemon gone); every tenth
// tablet sends a hello the host must reject. At the end a second copy of the program takes over.
TEST(PaneloraProcess, HeadlessFollowsTheCableFortyTabletsAndAHandOver) {
    PANELORA_REQUIRE_XORG(xorg);
    ProgramRig rig(*xorg);
    ASSERT_TRUE(rig.plugIn(false));
    auto panelora = rig.start("headless");
    std::vector<std::string> lines;
    auto status = [&](std::chrono::seconds timeout) {
        return panelora->readUntil([](const auto& l) { return l.starts_with("status: "); }, timeout,
                                   &lines);
    };
    const std::string looking = "status: Looking for your tablet\u2026";
    EXPECT_EQ(status(10s), looking);
    EXPECT_EQ(status(10s), "status: Connect your tablet with the cable");
    ASSERT_TRUE(rig.plugIn());  // a cable, but nothing listens on the tablet's port
    EXPECT_EQ(status(10s), "status: Tablet found: open Panelora on it");
    enum End { killed, closes, pulled };
    ProcessUse afterFirst;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE("session " + std::to_string(i + 1));
        const End end = End(i % 3);
        std::vector<std::string> args{"--connections", "1"};
        if (end == closes) args.insert(args.end(), {"--close-after", "1500"});
        if (i % 10 == 5) args.insert(args.end(), {"--hello", "garbage"});
        auto tablet = rig.tablet(args);
        ASSERT_TRUE(tablet);
        ASSERT_TRUE(panelora->readUntil(
            [](const auto& l) { return l.starts_with("status: Streaming "); }, 20s, &lines))
            << panelora->stderrText();
        if (end != closes) std::this_thread::sleep_for(1500ms);
        if (end == killed) tablet->process().signal(SIGKILL);
        if (end == pulled) rig.mux.reset();  // the daemon and its tunnel are gone
        ASSERT_EQ(status(40s), "status: Disconnected") << panelora->stderrText();
        tablet->process().signal(SIGTERM);
        tablet->process().wait(10s);
        if (!rig.mux) {
            ASSERT_TRUE(rig.plugIn());
        }
        if (i == 0) {
            std::this_thread::sleep_for(2s);  // the ended session's objects are gone
            afterFirst = processUse(panelora->pid());
        }
    }
    std::this_thread::sleep_for(2s);
    const ProcessUse afterLast = processUse(panelora->pid());
    EXPECT_EQ(afterLast.descriptors, afterFirst.descriptors);
    EXPECT_EQ(afterLast.threads, afterFirst.threads);
#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer's quarantine keeps freed memory on purpose
    EXPECT_LE(afterLast.rssKB - afterFirst.rssKB, 30 * 1024)
        << "idle RSS " << afterFirst.rssKB << " KB after the first session, " << afterLast.rssKB
        << " KB after the last";
#endif
    auto d = openDisplay(xorg->displayName());
    ASSERT_TRUE(d);
    EXPECT_EQ(modeNames(d.get(), "panelora"), std::vector<std::string>{});
    EXPECT_EQ(shownModeNames(d.get()).size(), 1u);  // the primary's only

    // A copy of another name is none of theirs, left alone; one of the same name prints only
    // after it has taken over, by when the first has gone.
    auto bystander = rig.start("bystander");
    ASSERT_EQ(bystander->readLine(10s), looking);
    auto second = rig.start("headless");
    ASSERT_EQ(second->readLine(15s), looking) << second->stderrText();
    EXPECT_EQ(panelora->wait(1s), 0) << panelora->stderrText();
    EXPECT_EQ(second->stderrText().find("could not take over"), std::string::npos);
    EXPECT_EQ(second->wait(1500ms), std::nullopt);  // carries on
    EXPECT_TRUE(bystander->running());
    second->signal(SIGTERM);
    EXPECT_EQ(second->wait(15s), 0) << second->stderrText();
    bystander->signal(SIGINT);
    EXPECT_EQ(bystander->wait(10s), 0) << bystander->stderrText();
    // The statistics line is cleared with the end of a session.
    auto disconnected = std::find(lines.begin(), lines.end(), "status: Disconnected");
    EXPECT_NE(std::find(disconnected, lines.end(), "stats:"), lines.end());
}

// Without an X server there is no platform and no permission; the X server dying while a session
// streams makes the probes say no, ends the session without a hang, and stops the program,
// saying why.
TEST(PaneloraProcess, PermissionsAndTheProgramFollowTheXServerGoingAway) {
    // A display number nobody serves (the fixture's start at 60 and go up).
    LinuxPermissions none(LinuxPermissions::Options{":59999", {}, {}, {}});
    EXPECT_FALSE(none.screenRecordingPreflight());
    EXPECT_FALSE(none.accessibilityTrusted(false));
    none.requestScreenRecording();  // nothing to do, nothing happens
    std::string why;
    EXPECT_EQ(X11Platform::create(":59999", &why), nullptr);
    EXPECT_NE(why.find(":59999"), std::string::npos) << why;
    auto server = XorgServer::start(&why, {.firstDisplayNumber = 84});
    if (!server) GTEST_SKIP() << why;
    LinuxPermissions permissions(LinuxPermissions::Options{server->displayName(), {}, {}, {}});
    for (int i = 0; i < 2; ++i) {  // the probes are repeated every second
        EXPECT_TRUE(permissions.screenRecordingPreflight());
        EXPECT_TRUE(permissions.accessibilityTrusted(i == 1));  // XTest is there; no prompt
    }
    ProgramRig rig(*server);
    ASSERT_TRUE(rig.plugIn());
    auto tablet = rig.tablet();
    ASSERT_TRUE(tablet);
    auto panelora = rig.start("xgone");
    ASSERT_TRUE(panelora->waitForLine("status: Streaming ", 20s)) << panelora->stderrText();
    server->stop();
    EXPECT_FALSE(permissions.screenRecordingPreflight());
    EXPECT_FALSE(permissions.accessibilityTrusted(false));
    EXPECT_EQ(panelora->wait(15s), 1) << panelora->stderrText();
    EXPECT_NE(panelora->stderrText().find("panelora: the X server (display " +
                                          server->displayName() + ") went away"),
              std::string::npos)
        << panelora->stderrText();
}

// --desktop takes "auto" and the desktops this build has (the test builds have both), nothing else;
// the refusal lists them.
TEST(PaneloraOptions, DesktopTakesOnlyTheDesktopsOfTheBuild) {
    TempDir temp;
    struct Case {
        std::vector<std::string> argv;
        std::string error;
    };
    for (const Case& c : {
             Case{{PANELORA_PATH, "--desktop", "kde"},
                  "panelora: this build has no desktop kde (it has: auto, "
                  "gnome, sway, x11)\n"},
             Case{{PANELORA_PATH, "--headless", "--desktop", "X11"},
                  "this build has no desktop X11 "},
             Case{{PANELORA_PATH, "--desktop"}, "panelora: --desktop needs a name\n"},
             Case{{PANELORA_PATH, "--desktop", ""}, "panelora: --desktop needs a name\n"},
         }) {
        auto refused =
            ChildProcess::start(c.argv, ChildProcess::Options().stderrTo(temp.file("refused.err")));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->wait(10s), 2);
        EXPECT_NE(refused->stderrText().find(c.error), std::string::npos) << refused->stderrText();
    }
}

TEST(PaneloraProcess, MenuScreenshotIsSaved) {
    PANELORA_REQUIRE_XORG(xorg);
    ProgramRig rig(*xorg);
    const fs::path png = fs::path(PANELORA_ARTIFACTS_DIR) / "tray-menu.png";
    fs::create_directories(png.parent_path());
    fs::remove(png);
    // Qt and fontconfig keep caches for the life of the process; a sanitizer build would call
    // them leaks.
    const char* asan = std::getenv("ASAN_OPTIONS");
    auto shot = rig.start("screenshot", {"--screenshot-menu", png.string()},
                          {std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0"});
    ASSERT_EQ(shot->wait(30s), 0) << shot->stderrText();
    // A menu of some twenty rows of text, not a blank box.
    const auto picture = readPng(png.string());
    ASSERT_TRUE(picture);
    EXPECT_GT(picture->width, 200);
    EXPECT_GT(picture->height, 300);
    EXPECT_GT(fs::file_size(png), 5000u);
}

}  // namespace
}  // namespace panelora::test
