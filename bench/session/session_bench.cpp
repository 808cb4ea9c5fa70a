// The whole chain per stream profile: a continuously changing virtual display captured, encoded
// and sent by a Session in this process, through usbmuxd-sim, to tablet-sim, which decodes it.
//
//   build/bench/session/session_bench [--seconds S] [--only NAME] [--json] [--gnome|--sway]
//
// Starts its own Xorg (dummy driver; needs root). Per profile: what the tablet decoded (fps,
// Mbit/s, end-to-end latency from capture to decoded picture), the frames the host dropped
// (session drops plus encoder skips, from the statistics records), CPU seconds per sent frame of
// this process (capture, encode, send), of Xorg and of tablet-sim, and this process's peak RSS.
// --gnome: a private headless GNOME per profile instead, its virtual monitor repainted whole at
// the profile's rate (bench/gnome_painter.h); the xorg column is then mutter's CPU.
// --sway: a private headless sway per profile likewise, our output repainted the same way; the
// xorg column is then sway's CPU.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "animator.h"
#include "bench_support.h"
#include "gnome_painter.h"
#include "gnome_session.h"
#include "platform/linux/gnome/gnome_platform.h"
#include "platform/linux/sway/sway_platform.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_platform.h"
#include "session_probe.h"
#include "sway_session.h"
#include "tool_rig.h"
#include "x11_helpers.h"

#include <nlohmann/json.hpp>

using namespace panelora;
using namespace panelora::bench;
using namespace panelora::test;

namespace {

struct Case {
    const char* name;
    std::vector<std::string> tabletArgs;
    bool preferSmooth;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::string only;
    bool json = false, gnome = false, sway = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::max(3.0, std::atof(argv[++i]));
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--gnome") {
            gnome = true;
        } else if (arg == "--sway") {
            sway = true;
        } else {
            std::fprintf(
                stderr,
                "usage: session_bench [--seconds S] [--only NAME] [--json] [--gnome|--sway]\n");
            return 2;
        }
    }
    std::string why;
    // GNOME starts in each profile's process: GLib's D-Bus worker does not survive a fork.
    std::unique_ptr<XorgServer> server;
    if (!gnome && !sway && !(server = test::XorgServer::start(&why))) {
        std::fprintf(stderr, "session_bench: no X server: %s\n", why.c_str());
        return 1;
    }
    // A rejected hello gives the fallback profile at once (no hello waits 3 s for the same).
    const Case cases[] = {
        {"2048x1536@60 (fallback)", {"--hello", "garbage"}, false},
        {"2360x1640@60", {"--hello", "2360x1640@60"}, false},
        {"2732x2048@60", {"--hello", "2732x2048@120"}, false},
        {"1796x1346@120", {"--hello", "2732x2048@120"}, true},
    };
    if (!json) {
        std::printf("session_bench: %s, %u cores, %.0f s per profile\n",
                    gnome  ? "headless GNOME"
                    : sway ? "headless sway"
                           : ("Xorg " + server->displayName()).c_str(),
                    std::thread::hardware_concurrency(), seconds);
        std::printf("%-24s %-44s | %6s %6s %7s %7s %7s | %7s %8s %8s %8s %7s\n", "profile",
                    "negotiated", "fps", "Mbit/s", "dropped", "lat med", "lat p99", "sent", "host",
                    "xorg", "tablet", "host RSS");
        std::printf("%-24s %-44s | %6s %6s %7s %7s %7s | %7s %8s %8s %8s %7s\n", "", "", "tablet",
                    "", "host", "ms", "ms", "frames", "ms/frm", "ms/frm", "ms/frm", "peak MB");
    }
    FILE* out = json ? stderr : stdout;  // where failures go
    for (const Case& c : cases) {
        if (!only.empty() && std::string(c.name).find(only) == std::string::npos) continue;
        // Each profile in a process of its own, so that its peak RSS is its own and not what
        // the allocator kept from the profiles before it.
        std::fflush(stdout);
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child > 0) {
            int status = 0;
            waitpid(child, &status, 0);
            continue;
        }
        std::unique_ptr<GnomeSession> gnomeSession;
        std::unique_ptr<test::SwaySession> swaySession;
        std::unique_ptr<DesktopPlatform> platform;
        SwayPlatform* swayPlatform = nullptr;
        if (sway) {
            swaySession = test::SwaySession::start(&why);
            if (swaySession) {
                auto made = SwayPlatform::create(
                    {swaySession->ipcSocket(), swaySession->waylandSocket(),
                     LibavVideoCodecFactory::Encoders::automatic, swaySession->ownedFile()},
                    &why);
                swayPlatform = made.get();
                platform = std::move(made);
            }
        } else if (gnome) {
            gnomeSession = GnomeSession::start(&why);
            if (gnomeSession) {
                platform = GnomePlatform::create(
                    {gnomeSession->busAddress(), gnomeSession->pipewireSocket(),
                     LibavVideoCodecFactory::Encoders::automatic},
                    &why);
            }
        } else {
            platform = X11Platform::create(server->displayName(), &why);
        }
        const pid_t serverPid = sway    ? (swaySession ? swaySession->pid() : -1)
                                : gnome ? (gnomeSession ? gnomeSession->mutterPid() : -1)
                                        : server->pid();
        if (!platform) {
            std::fprintf(out, "%-24s %s\n", c.name, why.c_str());
            gnomeSession.reset();
            swaySession.reset();
            std::fflush(stdout);
            _exit(1);
        }
        // A block to break out of, so that every path runs the destructors (the rig's
        // folder, the virtual display) before the process exits.
        do {
            auto rig = TabletRig::start(c.tabletArgs, &why);
            if (!rig) {
                std::fprintf(out, "%-24s %s\n", c.name, why.c_str());
                break;
            }
            const int fd = rig->connect(&why);
            if (fd < 0) {
                std::fprintf(out, "%-24s %s\n", c.name, why.c_str());
                break;
            }
            resetPeakRss();
            auto probe = SessionProbe::create(fd, platform->sessionEnvironment());
            if (auto failure = probe->session().start(c.preferSmooth, std::nullopt)) {
                std::fprintf(out, "%-24s start failed: %s\n", c.name,
                             failure->description().c_str());
                probe->session().stop();
                break;
            }
            const StreamProfile profile = probe->session().profile();
            std::unique_ptr<Animator> animator;
            pid_t painter = -1;
            if (sway) {
                painter =
                    startPainter(swaySession->waylandSocket(),
                                 swayPlatform->layout()->outputName(probe->session().displayID()),
                                 int(profile.fps));
                std::this_thread::sleep_for(std::chrono::seconds(1));
            } else if (gnome) {
                // The virtual monitor sits right of the fixture's 1440-point primary.
                painter =
                    startGnomePainter(gnomeSession->waylandSocket(), 1440, 0, int(profile.fps));
                std::this_thread::sleep_for(std::chrono::seconds(1));
            } else {
                auto x = openDisplay(server->displayName());
                const auto rect = x11::displayBounds(x.get(), probe->session().displayID());
                if (rect) {
                    animator = Animator::start(server->displayName(), *rect, int(profile.fps),
                                               scene(), 24);
                }
            }
            // Measured from the first whole statistics second with the animation running.
            const size_t first = probe->stats().size() + 1;
            probe->waitForStats(
                first - 1, [](auto&) { return true; }, std::chrono::seconds(10));
            const double cpu0 = processCpuSeconds();
            const double xorg0 = otherProcessCpuSeconds(serverPid);
            const double tablet0 = otherProcessCpuSeconds(rig->tablet().pid());
            const size_t wanted = first + size_t(seconds);
            probe->waitForStats(
                wanted - 1, [](auto&) { return true; }, std::chrono::seconds(int(seconds) + 20));
            const double cpu = processCpuSeconds() - cpu0;
            const double xorg = otherProcessCpuSeconds(serverPid) - xorg0;
            const double tablet = otherProcessCpuSeconds(rig->tablet().pid()) - tablet0;
            const double rss = peakRssMB();
            const auto report = rig->finish();
            animator.reset();
            stopGnomePainter(painter);
            probe->waitEnded(std::chrono::seconds(20));
            probe->release();

            int64_t sent = 0, dropped = 0;
            const auto stats = probe->stats();
            for (size_t i = first; i < std::min(stats.size(), wanted); ++i) {
                sent += stats[i].fps;
                dropped += stats[i].dropped;
            }
            if (!report) {
                std::fprintf(out, "%-24s tablet-sim wrote no report\n", c.name);
                break;
            }
            const auto& r = *report;
            const double perFrame = sent > 0 ? 1000.0 / double(sent) : 0;
            if (json) {
                const nlohmann::json object = {{"benchmark", "session"},
                                               {"backend", sway    ? "sway"
                                                           : gnome ? "gnome"
                                                                   : "x11"},
                                               {"profile", c.name},
                                               {"negotiated", profile.summary()},
                                               {"cores", std::thread::hardware_concurrency()},
                                               {"seconds", seconds},
                                               {"tablet", r},
                                               {"sent_frames", sent},
                                               {"dropped_frames", dropped},
                                               {"host_cpu_ms_per_frame", cpu * perFrame},
                                               {"xorg_cpu_ms_per_frame", xorg * perFrame},
                                               {"tablet_cpu_ms_per_frame", tablet * perFrame},
                                               {"host_peak_rss_mb", rss}};
                std::printf("%s\n", object.dump().c_str());
                break;
            }
            std::printf(
                "%-24s %-44s | %6.1f %6.1f %7lld %7.1f %7.1f | %7lld %8.2f %8.2f %8.2f %7.0f%s\n",
                c.name, profile.summary().c_str(), r["fps"].get<double>(), r["mbps"].get<double>(),
                (long long)dropped, r["latencyMs"]["median"].get<double>(),
                r["latencyMs"]["p99"].get<double>(), (long long)sent, cpu * perFrame,
                xorg * perFrame, tablet * perFrame, rss,
                r["violationCount"].get<int>() ? "  VIOLATIONS" : "");
            std::fflush(stdout);
        } while (false);
        platform.reset();
        gnomeSession.reset();
        swaySession.reset();
        std::fflush(stdout);
        _exit(0);
    }
    if (json) return 0;
    std::printf(
        "\nfps, Mbit/s and latency (capture on the host to decoded on the tablet) are tablet-sim's "
        "over the whole stream; dropped and sent frames are the session's statistics over the "
        "measured seconds; CPU per sent frame for this process (capture, encode, send), Xorg "
        "(grabs and the animation's copies) and tablet-sim (decoding); RSS is this process's "
        "peak during the profile.\n");
    return 0;
}
