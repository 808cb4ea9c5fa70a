// The shell against the real things: the permission probes on a private Xorg server, a settings
// program started detached, and the panelora program itself as processes (hand-over between two
// copies, the headless mode against usbmuxd-sim and tablet-sim, the tray menu's screenshot).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/permissions.h"
#include "child_process.h"
#include "platform/linux/shell/detached_spawn.h"
#include "platform/linux/shell/linux_permissions.h"
#include "xorg_server.h"

// Last: Xlib's macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace panelora {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::XorgServer;

#define REQUIRE_XORG()                       \
    XorgServer* xorg = XorgServer::shared(); \
    if (!xorg) GTEST_SKIP() << XorgServer::sharedSkipReason()

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "panelora-shell-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- Permission probes ----

TEST(LinuxPermissionsOnX, AReadableServerWithXTestAllowsBoth) {
    REQUIRE_XORG();
    LinuxPermissions permissions(LinuxPermissions::Options{xorg->displayName(), {}, {}, {}});
    for (int i = 0; i < 3; ++i) {  // the probes are repeated every second
        EXPECT_TRUE(permissions.screenRecordingPreflight());
        EXPECT_TRUE(permissions.accessibilityTrusted(false));
    }
    EXPECT_TRUE(permissions.accessibilityTrusted(true));  // no prompt, same answer
}

TEST(LinuxPermissionsOnX, NoServerAllowsNeither) {
    // A display number nobody serves (the fixture's start at 60 and go up).
    LinuxPermissions permissions(LinuxPermissions::Options{":59999", {}, {}, {}});
    EXPECT_FALSE(permissions.screenRecordingPreflight());
    EXPECT_FALSE(permissions.accessibilityTrusted(false));
    permissions.requestScreenRecording();  // nothing to do, nothing happens
    EXPECT_FALSE(permissions.screenRecordingPreflight());
}

TEST(LinuxPermissionsOnX, AServerThatGoesAwayIsNoLongerAllowedAndNothingCrashes) {
    std::string why;
    XorgServer::Options options;
    options.firstDisplayNumber = 80;
    auto server = XorgServer::start(&why, options);
    if (!server) GTEST_SKIP() << why;
    LinuxPermissions permissions(LinuxPermissions::Options{server->displayName(), {}, {}, {}});
    EXPECT_TRUE(permissions.screenRecordingPreflight());
    server->stop();
    EXPECT_FALSE(permissions.screenRecordingPreflight());
    EXPECT_FALSE(permissions.accessibilityTrusted(false));
}

// ---- Settings programs ----

TEST(SettingsShortcut, StartsTheProgramDetachedWithCleanSignalsAndNoOutput) {
    TempDir temp;
    const fs::path report = temp.path() / "report";
    const fs::path program = temp.path() / "gnome-control-center";
    std::ofstream(program) << "#!/bin/sh\n"
                           << "out=$(readlink /proc/$$/fd/1)\n"
                           << "{ echo \"args:$*\"; grep -E '^Sig(Blk|Ign):' /proc/self/status;"
                           << " echo \"stdout:$out\"; } > '" << report.string() << ".tmp'\n"
                           << "mv '" << report.string() << ".tmp' '" << report.string() << "'\n";
    fs::permissions(program, fs::perms(0755));

    LinuxPermissions::Options options;
    options.desktops = {"GNOME"};
    const std::string searchPath = temp.path().string();
    options.find = [searchPath](std::string_view p) { return findOnPath(p, searchPath); };
    LinuxPermissions permissions(options);

    // The program's own stop signals are blocked and SIGPIPE ignored; none of it may leak.
    sigset_t stop, old;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    auto oldPipe = signal(SIGPIPE, SIG_IGN);
    openDisplaySettings(permissions);
    signal(SIGPIPE, oldPipe);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    for (int i = 0; i < 500 && !fs::exists(report); ++i)
        std::this_thread::sleep_for(10ms);
    const std::string text = readFile(report);
    EXPECT_NE(text.find("args:display\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SigBlk:\t0000000000000000\n"), std::string::npos) << text;
    // The C library keeps two real-time signals of its own ignored; the ones that matter are not.
    const size_t ignored = text.find("SigIgn:\t");
    ASSERT_NE(ignored, std::string::npos) << text;
    const uint64_t mask = std::stoull(text.substr(ignored + 8, 16), nullptr, 16);
    for (int signo : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) {
        EXPECT_EQ(mask & (uint64_t(1) << (signo - 1)), 0u) << "signal " << signo << "\n" << text;
    }
    EXPECT_NE(text.find("stdout:/dev/null\n"), std::string::npos) << text;
}

TEST(SettingsShortcut, NothingInstalledDoesNothing) {
    TempDir temp;
    LinuxPermissions::Options options;
    const std::string searchPath = temp.path().string();
    options.find = [searchPath](std::string_view p) { return findOnPath(p, searchPath); };
    LinuxPermissions permissions(options);
    openDisplaySettings(permissions);
    openScreenRecordingSettings(permissions);
    EXPECT_TRUE(fs::is_empty(temp.path()));
    EXPECT_FALSE(spawnDetached({(temp.path() / "missing").string()}));
}

// ---- The program ----

std::vector<std::string> programEnvironment(const XorgServer& xorg, const fs::path& temp,
                                            const std::string& instance,
                                            const std::string& muxSocket) {
    return {
        "DISPLAY=" + xorg.displayName(),
        "XDG_CONFIG_HOME=" + (temp / "config").string(),
        "PANELORA_INSTANCE_NAME=" + instance,
        "USBMUXD_SOCKET_ADDRESS=UNIX:" + muxSocket,
        "GDK_SCALE=",  // the scale factor comes from the server
    };
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::string instanceName(const char* what) {
    return std::string(what) + "-" + std::to_string(getpid());
}

TEST(PaneloraProcess, ASecondCopyMakesTheFirstQuitAndCarriesOn) {
    REQUIRE_XORG();
    TempDir temp;
    const auto env = programEnvironment(*xorg, temp.path(), instanceName("handover"),
                                        (temp.path() / "no-daemon").string());
    auto first = ChildProcess::start({PANELORA_PATH, "--headless"}, env,
                                     (temp.path() / "first.err").string());
    ASSERT_TRUE(first);
    ASSERT_EQ(first->readLine(10s), "status: Looking for your tablet\u2026") << first->stderrText();

    // Another name: a copy that is none of theirs, left alone.
    auto bystanderEnv = env;
    bystanderEnv[2] = "PANELORA_INSTANCE_NAME=" + instanceName("bystander");
    auto bystander = ChildProcess::start({PANELORA_PATH, "--headless"}, bystanderEnv,
                                         (temp.path() / "bystander.err").string());
    ASSERT_TRUE(bystander);
    ASSERT_EQ(bystander->readLine(10s), "status: Looking for your tablet\u2026");

    auto second = ChildProcess::start({PANELORA_PATH, "--headless"}, env,
                                      (temp.path() / "second.err").string());
    ASSERT_TRUE(second);
    // The second prints only after it has taken over, by when the first has gone.
    ASSERT_EQ(second->readLine(15s), "status: Looking for your tablet\u2026")
        << second->stderrText();
    EXPECT_EQ(first->wait(1s), 0) << first->stderrText();
    EXPECT_EQ(second->stderrText().find("could not take over"), std::string::npos)
        << second->stderrText();

    EXPECT_EQ(second->wait(1500ms), std::nullopt);  // carries on
    EXPECT_EQ(bystander->wait(0ms), std::nullopt);
    second->signal(SIGTERM);
    EXPECT_EQ(second->wait(10s), 0) << second->stderrText();
    bystander->signal(SIGINT);
    EXPECT_EQ(bystander->wait(10s), 0) << bystander->stderrText();
}

// Mode names of the RandR virtual displays on the server.
std::vector<std::string> paneloraModes(const std::string& displayName) {
    std::vector<std::string> names;
    Display* display = XOpenDisplay(displayName.c_str());
    if (!display) return {"(cannot open " + displayName + ")"};
    XRRScreenResources* resources = XRRGetScreenResources(display, DefaultRootWindow(display));
    for (int i = 0; resources && i < resources->nmode; ++i) {
        std::string name(resources->modes[i].name, resources->modes[i].nameLength);
        if (startsWith(name, "panelora")) names.push_back(name);
    }
    if (resources) XRRFreeScreenResources(resources);
    XCloseDisplay(display);
    return names;
}

uint16_t freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

std::unique_ptr<ChildProcess> startMux(const fs::path& temp, const std::string& socketPath,
                                       const std::vector<std::string>& devices) {
    std::vector<std::string> argv{USBMUXD_SIM_PATH, "--socket", socketPath};
    for (const std::string& d : devices) {
        argv.push_back("--device");
        argv.push_back(d);
    }
    fs::remove(socketPath);
    auto mux = ChildProcess::start(argv, {}, (temp / "mux.err").string());
    if (!mux) return nullptr;
    auto line = mux->readLine(10s);
    if (!line || !startsWith(*line, "usbmuxd-sim: listening")) return nullptr;
    return mux;
}

std::unique_ptr<ChildProcess> startTablet(const fs::path& temp, uint16_t port) {
    auto tablet = ChildProcess::start({TABLET_SIM_PATH, "--port", std::to_string(port)}, {},
                                      (temp / "tablet.err").string());
    if (!tablet) return nullptr;
    auto line = tablet->readLine(10s);
    if (!line || !startsWith(*line, "tablet-sim: listening")) return nullptr;
    return tablet;
}

TEST(PaneloraProcess, HeadlessFollowsTheCableTheTabletAndItsEnd) {
    REQUIRE_XORG();
    TempDir temp;
    const std::string muxSocket = (temp.path() / "mux.sock").string();
    const uint16_t port = freePort();
    const std::string device = "SIM0001,USB,127.0.0.1:" + std::to_string(port);
    const std::string streaming =
        "status: Streaming 2732\u00d72048 @ 60 fps \u00b7 looks like 1708\u00d71280";

    auto mux = startMux(temp.path(), muxSocket, {});
    ASSERT_TRUE(mux);
    auto panelora = ChildProcess::start(
        {PANELORA_PATH, "--headless"},
        programEnvironment(*xorg, temp.path(), instanceName("headless"), muxSocket),
        (temp.path() / "panelora.err").string());
    ASSERT_TRUE(panelora);

    std::vector<std::string> lines;
    auto isStatus = [](const std::string& l) { return startsWith(l, "status: "); };
    auto expectStatus = [&](const std::string& expected, std::chrono::seconds timeout) {
        auto line = panelora->readUntil(isStatus, timeout, &lines);
        ASSERT_EQ(line, expected) << panelora->stderrText();
    };

    expectStatus("status: Looking for your tablet\u2026", 10s);
    expectStatus("status: Connect your tablet with the cable", 10s);

    // A cable, but nothing listens on the tablet's port.
    mux.reset();
    mux = startMux(temp.path(), muxSocket, {device});
    ASSERT_TRUE(mux);
    expectStatus("status: Tablet found: open Panelora on it", 10s);

    auto tablet = startTablet(temp.path(), port);
    ASSERT_TRUE(tablet);
    expectStatus(streaming, 20s);
    EXPECT_EQ(paneloraModes(xorg->displayName()).size(), 1u);
    for (int i = 0; i < 2; ++i) {
        auto stats = panelora->readUntil(
            [](const std::string& l) { return startsWith(l, "stats: "); }, 10s, &lines);
        ASSERT_TRUE(stats) << panelora->stderrText();
        EXPECT_NE(stats->find(" fps \u00b7 "), std::string::npos) << *stats;
    }

    tablet->signal(SIGKILL);
    expectStatus("status: Disconnected", 40s);
    tablet = startTablet(temp.path(), port);
    ASSERT_TRUE(tablet);
    expectStatus(streaming, 20s);

    panelora->signal(SIGTERM);
    EXPECT_EQ(panelora->wait(15s), 0) << panelora->stderrText();
    EXPECT_EQ(paneloraModes(xorg->displayName()), std::vector<std::string>{});

    // Every status line, in order, with nothing else in between.
    std::vector<std::string> statuses;
    for (const std::string& l : lines) {
        if (isStatus(l)) statuses.push_back(l);
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{
                            "status: Looking for your tablet\u2026",
                            "status: Connect your tablet with the cable",
                            "status: Tablet found: open Panelora on it",
                            streaming,
                            "status: Disconnected",
                            streaming,
                        }));
    // The statistics line is cleared with the end of a session.
    auto disconnected = std::find(lines.begin(), lines.end(), "status: Disconnected");
    ASSERT_NE(disconnected, lines.end());
    EXPECT_NE(std::find(disconnected, lines.end(), "stats:"), lines.end());
}

struct ProcessUse {
    int64_t rssKB = 0;
    size_t descriptors = 0;
    size_t threads = 0;
};

ProcessUse processUse(pid_t pid) {
    ProcessUse use;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::istringstream status(readFile(proc / "status"));
    for (std::string line; std::getline(status, line);) {
        if (startsWith(line, "VmRSS:")) use.rssKB = std::stoll(line.substr(6));
    }
    std::error_code ec;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(proc / "fd", ec))
        ++use.descriptors;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(proc / "task", ec))
        ++use.threads;
    return use;
}

// RandR outputs showing a picture, but for the primary.
size_t enabledSpareOutputs(const std::string& displayName) {
    Display* display = XOpenDisplay(displayName.c_str());
    if (!display) return 99;
    size_t count = 0;
    XRRScreenResources* resources = XRRGetScreenResources(display, DefaultRootWindow(display));
    for (int i = 0; resources && i < resources->ncrtc; ++i) {
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i]);
        if (crtc && crtc->mode != None && crtc->x != 0) ++count;
        if (crtc) XRRFreeCrtcInfo(crtc);
    }
    if (resources) XRRFreeScreenResources(resources);
    XCloseDisplay(display);
    return count;
}

// A tablet that comes and goes for a long time: every session streams at the largest profile,
// and once they are over nothing is left of them (descriptors, threads, outputs, modes, memory).
// Every other session ends with the tablet closing the connection, the others with the cable
// pulled (the daemon gone); every tenth tablet sends a hello the host must reject.
TEST(PaneloraProcess, FortySessionsLeaveNothingBehind) {
    REQUIRE_XORG();
    TempDir temp;
    const std::string muxSocket = (temp.path() / "mux.sock").string();
    const uint16_t port = freePort();
    const std::string device = "SIM0001,USB,127.0.0.1:" + std::to_string(port);
    auto mux = startMux(temp.path(), muxSocket, {device});
    ASSERT_TRUE(mux);
    auto panelora = ChildProcess::start(
        {PANELORA_PATH, "--headless"},
        programEnvironment(*xorg, temp.path(), instanceName("sessions"), muxSocket),
        (temp.path() / "panelora.err").string());
    ASSERT_TRUE(panelora);
    auto status = [&](std::chrono::seconds timeout) {
        return panelora->readUntil([](const std::string& l) { return startsWith(l, "status: "); },
                                   timeout);
    };

    constexpr int kSessions = 40;
    ProcessUse afterFirst;
    for (int i = 0; i < kSessions; ++i) {
        SCOPED_TRACE("session " + std::to_string(i + 1));
        const bool tabletCloses = i % 2 == 0;
        std::vector<std::string> argv{TABLET_SIM_PATH, "--port", std::to_string(port),
                                      "--connections", "1"};
        if (tabletCloses) argv.insert(argv.end(), {"--close-after", "1500"});
        if (i % 10 == 5) argv.insert(argv.end(), {"--hello", "garbage"});
        auto tablet = ChildProcess::start(argv, {}, (temp.path() / "tablet.err").string());
        ASSERT_TRUE(tablet);
        ASSERT_TRUE(tablet->readLine(10s));  // listening
        std::optional<std::string> line;
        while ((line = status(20s)) && !startsWith(*line, "status: Streaming ")) {
        }
        ASSERT_TRUE(line) << panelora->stderrText();
        if (!tabletCloses) {
            std::this_thread::sleep_for(1500ms);
            mux.reset();  // the cable is pulled: the daemon and its tunnel are gone
        }
        ASSERT_EQ(status(20s), "status: Disconnected") << panelora->stderrText();
        tablet->signal(SIGTERM);
        tablet->wait(10s);
        if (!mux) {
            mux = startMux(temp.path(), muxSocket, {device});
            ASSERT_TRUE(mux);
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
    std::printf("idle RSS after the first session %lld KB, after session %d %lld KB\n",
                static_cast<long long>(afterFirst.rssKB), kSessions,
                static_cast<long long>(afterLast.rssKB));
    EXPECT_EQ(paneloraModes(xorg->displayName()), std::vector<std::string>{});
    EXPECT_EQ(enabledSpareOutputs(xorg->displayName()), 0u);

    panelora->signal(SIGTERM);
    EXPECT_EQ(panelora->wait(15s), 0) << panelora->stderrText();
}

// The X server dies while a session streams: the session ends, nothing hangs, and the program
// stops, saying why.
TEST(PaneloraProcess, StopsSayingWhyWhenTheXServerGoesAway) {
    std::string why;
    XorgServer::Options options;
    options.firstDisplayNumber = 84;
    auto server = XorgServer::start(&why, options);
    if (!server) GTEST_SKIP() << why;
    TempDir temp;
    const std::string muxSocket = (temp.path() / "mux.sock").string();
    const uint16_t port = freePort();
    auto mux = startMux(temp.path(), muxSocket, {"SIM0001,USB,127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(mux);
    auto tablet = startTablet(temp.path(), port);
    ASSERT_TRUE(tablet);
    auto panelora = ChildProcess::start(
        {PANELORA_PATH, "--headless"},
        programEnvironment(*server, temp.path(), instanceName("xgone"), muxSocket),
        (temp.path() / "panelora.err").string());
    ASSERT_TRUE(panelora);
    ASSERT_TRUE(panelora->readUntil(
        [](const std::string& l) { return startsWith(l, "status: Streaming "); }, 20s))
        << panelora->stderrText();

    server->stop();
    EXPECT_EQ(panelora->wait(15s), 1) << panelora->stderrText();
    EXPECT_NE(panelora->stderrText().find("panelora: the X server (display " +
                                          server->displayName() + ") went away"),
              std::string::npos)
        << panelora->stderrText();
}

TEST(PaneloraProcess, MenuScreenshotIsSaved) {
    REQUIRE_XORG();
    TempDir temp;
    const fs::path artifacts = PANELORA_ARTIFACTS_DIR;
    fs::create_directories(artifacts);
    const fs::path png = artifacts / "tray-menu.png";
    fs::remove(png);

    auto env = programEnvironment(*xorg, temp.path(), instanceName("screenshot"), "/nonexistent");
    // Qt and fontconfig keep caches for the life of the process; a sanitizer build would call
    // them leaks.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":detect_leaks=0");
    auto shot = ChildProcess::start({PANELORA_PATH, "--screenshot-menu", png.string()}, env,
                                    (temp.path() / "shot.err").string());
    ASSERT_TRUE(shot);
    ASSERT_EQ(shot->wait(30s), 0) << shot->stderrText();

    const std::string data = readFile(png);
    ASSERT_GT(data.size(), 24u);
    EXPECT_EQ(data.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(data[at])) << 24) | (uint32_t(uint8_t(data[at + 1])) << 16) |
               (uint32_t(uint8_t(data[at + 2])) << 8) | uint32_t(uint8_t(data[at + 3]));
    };
    // IHDR: width and height. A menu of some twenty rows of text.
    EXPECT_GT(be32(16), 200u);
    EXPECT_GT(be32(20), 300u);
    EXPECT_GT(data.size(), 5000u);  // text, not a blank box
}

}  // namespace
}  // namespace panelora
