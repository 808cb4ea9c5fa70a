// The video pipeline on a real X server: capture (MIT-SHM grab of the virtual display) →
// convert/scale to NV12 → H.264, for the four stream profiles, with the virtual display changing
// continuously: by default a full-screen animation (pre-rendered pixmaps copied onto it by the
// server at the profile's rate); with `--workload desktop`, ordinary use (typing, a blinking
// caret, a list scrolling one second in four).
//
//   build/bench/pipeline/pipeline_bench [--seconds S] [--no-ffmpeg] [--only NAME]
//                                       [--workload animation|desktop] [--json]
//                                       [--gnome|--sway|--x11-monitor]
//
// --json prints one JSON object per profile and line instead of the table.
// Starts its own Xorg (dummy driver; needs root). Per profile:
//   stages    grab, convert and encode one frame at a time (median and p99 ms)
//   pipeline  the real chain (X11CaptureBackend → ScreenCapturer → H264Encoder) for S seconds:
//             sustained fps, capture-to-output latency, CPU seconds per frame of this process
//             and of Xorg, peak RSS of this process during the run
//   ceiling   the bare encoder: the same codec fed pre-converted frames as fast as it takes them
//             (two in flight, as the encoder core keeps them)
//   ffmpeg    `ffmpeg -f x11grab … -c:v libx264 -preset ultrafast -tune zerolatency` on the same
//             display area for S seconds; its own fps
//
// --x11-monitor: the virtual display made as a RandR monitor on an enlarged screen (the route of
// servers without a spare output) instead of on a spare DUMMY output.
// --gnome: the pipeline alone on a private headless GNOME session instead (mutter's virtual
// monitor through PipeWire: GnomeCaptureBackend → ScreenCapturer → H264Encoder), the monitor
// repainted whole at the profile's rate by a Wayland window in a process of its own; the xorg
// column is then mutter's CPU. No stages, ceiling or ffmpeg there; --workload does not apply.
// --sway: the same on a private headless sway (our output through wlroots' screen copy with
// damage: SwayCaptureBackend → ScreenCapturer → H264Encoder); the xorg column is sway's CPU.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "animator.h"
#include "bench_support.h"
#include "child_process.h"
#include "desktop_activity.h"
#include "gnome_painter.h"
#include "gnome_session.h"
#include "platform/linux/gnome/gnome_platform.h"
#include "platform/linux/pixels/frame_converter.h"
#include "platform/linux/sway/sway_platform.h"
#include "platform/linux/x11/shm_image.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_platform.h"
#include "platform/linux/xlib/x11_connection.h"
#include "protocol/stream_profile.h"
#include "support/clock.h"
#include "sway_session.h"
#include "video/h264_encoder.h"
#include "video/screen_capturer.h"
#include "video/virtual_display.h"
#include "x11_helpers.h"

#include <nlohmann/json.hpp>

using namespace panelora;
using namespace panelora::bench;
using namespace panelora::test;
using SteadyClock = std::chrono::steady_clock;

namespace {

double ms(SteadyClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Case {
    const char* name;
    StreamProfile profile;
};

struct Row {
    double grabMed = 0, grabP99 = 0, convMed = 0, convP99 = 0, encMed = 0, encP99 = 0;
    double fps = 0, latMed = 0, latP99 = 0, cpuPerFrame = 0, xorgPerFrame = 0, rssMB = 0;
    double ceilingFps = 0, ffmpegFps = 0;
    double shmemMB = 0;       // resident shared memory at the end (mapped compositor buffers)
    double capturedFps = 0;   // frames the capture delivered to the encoder
    double changedShare = 0;  // of those, the ones whose picture differed from the one before
    double animationFps = 0;  // pictures the animation showed
    uint64_t skipped = 0;
    std::string note;
    std::string threads;  // CPU per thread during the pipeline run
};

// One frame through a codec, waiting for its completion.
class SyncEncoder {
  public:
    explicit SyncEncoder(std::unique_ptr<VideoCodec> codec) : codec_(std::move(codec)) {}
    ~SyncEncoder() { codec_->invalidate(); }

    // Keeps at most `inFlight` frames inside; returns once one slot is free.
    bool submit(const ImageBufferRef& image, int64_t pts, bool key, size_t inFlight) {
        {
            std::unique_lock lock(mutex_);
            done_.wait(lock, [&] { return outstanding_ < inFlight; });
            ++outstanding_;
        }
        return codec_->encode(image, pts, key, [this](std::optional<EncodedSample> sample) {
            std::lock_guard lock(mutex_);
            --outstanding_;
            if (sample) ++completed_;
            done_.notify_all();
        });
    }
    void drain() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return outstanding_ == 0; });
    }
    uint64_t completed() {
        std::lock_guard lock(mutex_);
        return completed_;
    }

  private:
    std::unique_ptr<VideoCodec> codec_;
    std::mutex mutex_;
    std::condition_variable done_;
    size_t outstanding_ = 0;
    uint64_t completed_ = 0;
};

void measureStages(X11Platform& platform, const std::string& displayName, Rect rect,
                   const StreamProfile& profile, double seconds, Row& row,
                   std::vector<ImageBufferRef>& keep) {
    std::string why;
    auto connection = X11Connection::open(displayName, &why);
    auto image = ShmImage::create(*connection, int(rect.width), int(rect.height), &why);
    if (!image) {
        row.note = "no SHM image: " + why;
        return;
    }
    FrameConverter converter(image->width(), image->height(), int(profile.width),
                             int(profile.height));
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / profile.fps);
    // First the ceiling's frames: consecutive pictures of the animation, grabbed at its rate.
    auto next = SteadyClock::now();
    while (keep.size() < 24) {
        image->grabRoot(int(rect.x), int(rect.y));
        auto buffer = std::make_shared<Nv12Buffer>(int32_t(profile.width), int32_t(profile.height));
        converter.convert(image->pixels(), image->stride(), *buffer);
        keep.push_back(std::move(buffer));
        next += interval;
        std::this_thread::sleep_until(std::max(next, SteadyClock::now()));
    }
    SyncEncoder encoder(platform.codecs().create(VideoCodecSettings::forProfile(profile)));
    std::vector<double> grab, conv, enc;
    const auto end = SteadyClock::now() + std::chrono::duration<double>(seconds);
    next = SteadyClock::now();
    for (int i = 0; SteadyClock::now() < end || i < 10; ++i) {
        auto t0 = SteadyClock::now();
        image->grabRoot(int(rect.x), int(rect.y));
        auto t1 = SteadyClock::now();
        auto buffer = std::make_shared<Nv12Buffer>(int32_t(profile.width), int32_t(profile.height));
        converter.convert(image->pixels(), image->stride(), *buffer);
        auto t2 = SteadyClock::now();
        encoder.submit(buffer, Clock::system().uptimeNanos(), i == 0, 1);
        encoder.drain();
        auto t3 = SteadyClock::now();
        if (i >= 3) {  // first frames: page faults, the key frame
            grab.push_back(ms(t1 - t0));
            conv.push_back(ms(t2 - t1));
            enc.push_back(ms(t3 - t2));
        }
        // Paced at the profile's rate, so that every grab sees a new picture.
        next += interval;
        std::this_thread::sleep_until(std::max(next, SteadyClock::now()));
    }
    row.grabMed = percentile(grab, 0.5);
    row.grabP99 = percentile(grab, 0.99);
    row.convMed = percentile(conv, 0.5);
    row.convP99 = percentile(conv, 0.99);
    row.encMed = percentile(enc, 0.5);
    row.encP99 = percentile(enc, 0.99);
}

void measureCeiling(X11Platform& platform, const StreamProfile& profile,
                    const std::vector<ImageBufferRef>& frames, double seconds, Row& row) {
    if (frames.empty()) return;
    SyncEncoder encoder(platform.codecs().create(VideoCodecSettings::forProfile(profile)));
    // Warm-up, then as fast as the codec takes frames, two inside at a time.
    for (int i = 0; i < 5; ++i)
        encoder.submit(frames[size_t(i) % frames.size()], 0, i == 0, 2);
    encoder.drain();
    const uint64_t before = encoder.completed();
    const auto start = SteadyClock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    for (size_t i = 0; SteadyClock::now() < end; ++i)
        encoder.submit(frames[i % frames.size()], Clock::system().uptimeNanos(), false, 2);
    encoder.drain();
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
    row.ceilingFps = double(encoder.completed() - before) / elapsed;
}

// CPU seconds per thread of this process, keyed "name/tid" (x264's workers carry the program's
// name).
std::map<std::string, double> threadCpu() {
    std::map<std::string, double> result;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        const double seconds = statCpuSeconds(entry.path() / "stat", &name);
        if (!name.empty()) result[name + "/" + entry.path().filename().string()] += seconds;
    }
    return result;
}

// `serverPid` is the display server's (Xorg, mutter), whose CPU goes into xorgPerFrame.
void measurePipeline(DesktopPlatform& platform, CaptureBackend& capture, pid_t serverPid,
                     DisplayID id, const StreamProfile& profile, double seconds, Row& row) {
    auto encoder = H264Encoder::create(platform.codecs(), profile);
    if (!encoder) {
        row.note = "no encoder";
        return;
    }
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<uint64_t> outputs{0};
    std::atomic<bool> counting{false};
    encoder->onOutput = [&](const H264Encoder::Output& output) {
        if (!counting.load()) return;
        const double latency =
            double(Clock::system().uptimeNanos() / 1000 - int64_t(output.ptsMicros)) / 1000.0;
        outputs.fetch_add(1);
        std::lock_guard lock(mutex);
        latencies.push_back(latency);
    };
    std::weak_ptr<H264Encoder> weak = encoder;
    std::atomic<uint64_t> captured{0};
    // How many captured pictures differ from the one before (by a sample of the luma plane),
    // so that a run that measured a still picture says so. On the capture queue only.
    uint64_t changed = 0;
    uint64_t lastSum = 0;
    auto capturer =
        ScreenCapturer::create(capture, [&, weak](const ImageBufferRef& image, int64_t pts) {
            if (counting.load()) {
                captured.fetch_add(1);
                uint64_t sum = 0;
                for (int y = 0; y < image->height(); y += 7) {
                    const uint8_t* row = image->planeData(0) + size_t(y) * image->planeStride(0);
                    for (int x = 0; x < image->width(); x += 13)
                        sum = sum * 31 + row[x];
                }
                if (sum != std::exchange(lastSum, sum)) ++changed;
            }
            if (auto e = weak.lock()) e->encode(image, pts);
        });
    if (auto error = capturer->start(id, profile, true)) {
        row.note = "capture: " + error->description();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // warm-up
    {
        std::lock_guard lock(encoder->lock);
        encoder->skipped = 0;
    }
    resetPeakRss();
    const auto threads0 = threadCpu();
    const double cpu0 = processCpuSeconds();
    const double xorg0 = otherProcessCpuSeconds(serverPid);
    const auto start = SteadyClock::now();
    counting.store(true);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    counting.store(false);
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const double cpu = processCpuSeconds() - cpu0;
    const double xorg = otherProcessCpuSeconds(serverPid) - xorg0;
    row.rssMB = peakRssMB();
    row.shmemMB = statusMB("RssShmem:");
    // Where the time went, busiest threads first, in percent of one core.
    std::vector<std::pair<double, std::string>> busy;
    for (const auto& [name, total] : threadCpu()) {
        const auto before = threads0.find(name);
        const double used = total - (before == threads0.end() ? 0 : before->second);
        if (used > 0.01 * elapsed) busy.emplace_back(used / elapsed * 100, name);
    }
    std::sort(busy.rbegin(), busy.rend());
    for (const auto& [percent, name] : busy) {
        char part[64];
        std::snprintf(part, sizeof part, "%s%s %.0f%%", row.threads.empty() ? "" : ", ",
                      name.c_str(), percent);
        row.threads += part;
    }
    capturer->stopCapture();
    encoder->invalidate();
    {
        std::lock_guard lock(encoder->lock);
        row.skipped = uint64_t(encoder->skipped);
    }
    row.changedShare = captured.load() ? double(changed) / double(captured.load()) : 0;
    if (changed == 0) row.note += "the captured picture never changed; ";
    const uint64_t n = outputs.load();
    row.fps = double(n) / elapsed;
    row.capturedFps = double(captured.load()) / elapsed;
    std::lock_guard lock(mutex);
    row.latMed = percentile(latencies, 0.5);
    row.latP99 = percentile(latencies, 0.99);
    row.cpuPerFrame = n ? cpu / double(n) : 0;
    row.xorgPerFrame = n ? xorg / double(n) : 0;
}

std::string ffmpegPath() {
    for (const char* p : {"/usr/bin/ffmpeg", "/usr/local/bin/ffmpeg"}) {
        if (access(p, X_OK) == 0) return p;
    }
    return {};
}

void measureFfmpeg(const test::XorgServer& server, Rect rect, const StreamProfile& profile,
                   double seconds, Row& row) {
    const std::string ffmpeg = ffmpegPath();
    if (ffmpeg.empty()) {
        row.note += " (no ffmpeg)";
        return;
    }
    char input[64], size[32], scale[64];
    std::snprintf(input, sizeof input, "%s+%d,%d", server.displayName().c_str(), int(rect.x),
                  int(rect.y));
    std::snprintf(size, sizeof size, "%dx%d", int(rect.width), int(rect.height));
    std::snprintf(scale, sizeof scale, "scale=%lld:%lld", (long long)profile.width,
                  (long long)profile.height);
    const std::string log = "/tmp/panelora-pipeline-bench-ffmpeg.log";
    std::string error;
    auto child = ChildProcess::start({ffmpeg,
                                      "-nostdin",
                                      "-hide_banner",
                                      "-y",
                                      "-f",
                                      "x11grab",
                                      "-framerate",
                                      std::to_string(profile.fps),
                                      "-video_size",
                                      size,
                                      "-i",
                                      input,
                                      "-t",
                                      std::to_string(int(seconds + 1)),
                                      "-vf",
                                      scale,
                                      "-c:v",
                                      "libx264",
                                      "-preset",
                                      "ultrafast",
                                      "-tune",
                                      "zerolatency",
                                      "-b:v",
                                      std::to_string(profile.bitrate),
                                      "-f",
                                      "null",
                                      "-"},
                                     ChildProcess::Options().stderrMerged().stdoutTo(log), &error);
    if (!child || !child->wait(std::chrono::seconds(int(seconds) + 30))) {
        row.note += " (ffmpeg failed: " + error + ")";
        return;
    }
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Progress lines end in \r; the last "fps=" is the average over the whole run.
    static const std::regex fpsPattern(R"(fps=\s*([0-9.]+))");
    double fps = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), fpsPattern);
         it != std::sregex_iterator(); ++it)
        fps = std::stod((*it)[1]);
    row.ffmpegFps = fps;
    std::remove(log.c_str());
}

nlohmann::json toJson(const Row& row) {
    return {{"grab_ms", {{"median", row.grabMed}, {"p99", row.grabP99}}},
            {"convert_ms", {{"median", row.convMed}, {"p99", row.convP99}}},
            {"encode_ms", {{"median", row.encMed}, {"p99", row.encP99}}},
            {"fps", row.fps},
            {"latency_ms", {{"median", row.latMed}, {"p99", row.latP99}}},
            {"cpu_ms_per_frame", row.cpuPerFrame * 1000},
            {"xorg_ms_per_frame", row.xorgPerFrame * 1000},
            {"peak_rss_mb", row.rssMB},
            {"rss_shmem_mb", row.shmemMB},
            {"skipped", row.skipped},
            {"ceiling_fps", row.ceilingFps},
            {"ffmpeg_fps", row.ffmpegFps},
            {"captured_fps", row.capturedFps},
            {"captured_changed_share", row.changedShare},
            {"changes_per_second", row.animationFps},
            {"threads", row.threads},
            {"note", row.note}};
}

}  // namespace

void printWaylandRow(const char* backend, const Case& c, const Row& row, double seconds, bool json);

// One profile on a GNOME session of its own, in a process of its own: GLib's D-Bus worker thread
// does not survive a fork, so nothing before the fork may have used it.
void measureGnome(const Case& c, double seconds, bool json) {
    std::string why;
    auto gnome = GnomeSession::start(&why);
    if (!gnome) {
        std::fprintf(stderr, "pipeline_bench: no GNOME session: %s\n", why.c_str());
        return;
    }
    Row row;
    pid_t painter = -1;
    {
        auto platform = GnomePlatform::create({gnome->busAddress(), gnome->pipewireSocket(),
                                               LibavVideoCodecFactory::Encoders::automatic},
                                              &why);
        auto display =
            platform ? VirtualDisplay::create(platform->virtualDisplays(), c.profile, 1) : nullptr;
        if (display) {
            // Once the monitor has its scale: a window opened before would be moved to the
            // primary when the scale changes, and the monitor would show a still picture.
            painter = startGnomePainter(gnome->waylandSocket(), 1440, 0, int(c.profile.fps));
            std::this_thread::sleep_for(std::chrono::seconds(1));  // the painter's window
            measurePipeline(*platform, platform->capture(), gnome->mutterPid(),
                            display->displayID(), c.profile, seconds, row);
        } else {
            row.note = "no virtual display: " + why;
        }
    }
    if (painter > 0) stopGnomePainter(painter);
    printWaylandRow("gnome", c, row, seconds, json);
}

// One profile on a sway of its own: our output captured by screen copy, repainted whole at the
// profile's rate by a window in a process of its own.
void measureSway(const Case& c, double seconds, bool json) {
    std::string why;
    auto sway = test::SwaySession::start(&why);
    if (!sway) {
        std::fprintf(stderr, "pipeline_bench: no sway: %s\n", why.c_str());
        return;
    }
    Row row;
    pid_t painter = -1;
    {
        auto platform =
            SwayPlatform::create({sway->ipcSocket(), sway->waylandSocket(),
                                  LibavVideoCodecFactory::Encoders::automatic, sway->ownedFile()},
                                 &why);
        auto display =
            platform ? VirtualDisplay::create(*platform->seams().virtualDisplays, c.profile, 1)
                     : nullptr;
        if (display) {
            painter = startPainter(sway->waylandSocket(),
                                   platform->layout()->outputName(display->displayID()),
                                   int(c.profile.fps));
            std::this_thread::sleep_for(std::chrono::seconds(1));  // the painter's window
            measurePipeline(*platform, *platform->seams().capture, sway->pid(),
                            display->displayID(), c.profile, seconds, row);
        } else {
            row.note = "no virtual display: " + why;
        }
    }
    if (painter > 0) stopGnomePainter(painter);
    printWaylandRow("sway", c, row, seconds, json);
}

void printWaylandRow(const char* backend, const Case& c, const Row& row, double seconds,
                     bool json) {
    if (json) {
        nlohmann::json line = toJson(row);
        line["benchmark"] = "pipeline";
        line["backend"] = backend;
        line["profile"] = c.name;
        line["seconds"] = seconds;
        std::printf("%s\n", line.dump().c_str());
    } else {
        std::printf(
            "%-24s | %6.1f %5.1f/%5.1f %8.2f %10.2f %4.0f/%-4.0f %5llu | %.1f (%.0f%% "
            "changed); %s %s\n",
            c.name, row.fps, row.latMed, row.latP99, row.cpuPerFrame * 1000,
            row.xorgPerFrame * 1000, row.rssMB, row.shmemMB, (unsigned long long)row.skipped,
            row.capturedFps, row.changedShare * 100, row.threads.c_str(), row.note.c_str());
    }
}

int runWayland(const std::vector<Case>& cases, const std::string& only, double seconds, bool json,
               bool sway) {
    if (!json) {
        std::printf("pipeline_bench: headless %s, %u cores, %.0f s per run\n",
                    sway ? "sway" : "mutter", std::thread::hardware_concurrency(), seconds);
        std::printf("%-24s | %6s %-11s %8s %10s %9s %5s | %s\n", "profile", "fps", "latency ms",
                    "cpu/frm", sway ? "sway/frm" : "mutter/frm", "rss/shm MB", "skip",
                    "captured fps; threads");
    }
    for (const Case& c : cases) {
        if (!only.empty() && std::string(c.name).find(only) == std::string::npos) continue;
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            if (sway) {
                measureSway(c, seconds, json);
            } else {
                measureGnome(c, seconds, json);
            }
            std::fflush(stdout);
            _exit(0);
        }
        if (child > 0) waitpid(child, nullptr, 0);
    }
    if (!json) {
        std::printf(
            "\nfps, latency (capture to encoder output), cpu/frm (this process: capture + "
            "encode), %s (the compositor: composition and %s) and rss as in the X11 run.\n",
            sway ? "sway/frm" : "mutter/frm", sway ? "the screen copies" : "the PipeWire copies");
    }
    return 0;
}

int main(int argc, char** argv) {
    double seconds = 8;
    bool ffmpeg = true, json = false, gnome = false, sway = false, monitor = false;
    std::string only, workload = "animation";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::max(2.0, std::atof(argv[++i]));
        } else if (arg == "--no-ffmpeg") {
            ffmpeg = false;
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--workload" && i + 1 < argc &&
                   (argv[i + 1] == std::string("animation") ||
                    argv[i + 1] == std::string("desktop"))) {
            workload = argv[++i];
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--gnome") {
            gnome = true;
        } else if (arg == "--sway") {
            sway = true;
        } else if (arg == "--x11-monitor") {
            monitor = true;
        } else {
            std::fprintf(stderr,
                         "usage: pipeline_bench [--seconds S] [--no-ffmpeg] [--only NAME] "
                         "[--workload animation|desktop] [--json] [--gnome|--sway|--x11-monitor]\n");
            return 2;
        }
    }
    const std::vector<Case> cases{
        {"2048x1536@60 (fallback)", StreamProfile::fallback},
        {"2360x1640@60", StreamProfile::negotiate(2360, 1640, 60, false, std::nullopt)},
        {"2732x2048@60", StreamProfile::negotiate(2732, 2048, 120, false, std::nullopt)},
        {"1796x1346@120", StreamProfile::negotiate(2732, 2048, 120, true, std::nullopt)},
    };
    if (gnome || sway) return runWayland(cases, only, seconds, json, sway);
    std::string why;
    auto server = test::XorgServer::start(&why);
    if (!server) {
        std::fprintf(stderr, "pipeline_bench: no X server: %s\n", why.c_str());
        return 1;
    }
    const std::string encoderName = LibavVideoCodecFactory::probedHardwareEncoder().empty()
                                        ? "libx264"
                                        : LibavVideoCodecFactory::probedHardwareEncoder();
    if (!json) {
        std::printf(
            "pipeline_bench: Xorg %s (pid %d)%s, %u cores, encoder %s, %s, %.0f s per run\n",
            server->displayName().c_str(), int(server->pid()),
            monitor ? ", display as a RandR monitor" : "", std::thread::hardware_concurrency(),
            encoderName.c_str(), workload.c_str(), seconds);
        std::printf(
            "%-24s %-10s | %-11s %-11s %-11s | %6s %-11s %8s %8s %6s %5s | %7s %6s | %6s %6s\n",
            "profile", "display", "grab ms", "convert ms", "encode ms", "fps", "latency ms",
            "cpu/frm", "xorg/frm", "rss MB", "skip", "ceiling", "ffmpeg", "/ceil", "/ffm");
        std::printf(
            "%-24s %-10s | %-11s %-11s %-11s | %6s %-11s %8s %8s %6s %5s | %7s %6s | %6s %6s\n", "",
            "", "med/p99", "med/p99", "med/p99", "", "med/p99", "ms", "ms", "peak", "", "fps",
            "fps", "ratio", "ratio");
    }
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
        X11Platform::Options options;
        options.displayName = server->displayName();
        if (monitor) options.route = X11VirtualDisplayBackend::Route::monitor;
        auto platform = X11Platform::create(options, &why);
        if (!platform) {
            std::fprintf(json ? stderr : stdout, "%-24s %s\n", c.name, why.c_str());
            std::fflush(stdout);
            _exit(1);
        }
        // A block to break out of, so that every path runs the destructors (the rig's
        // folder, the virtual display) before the process exits.
        do {
            Row row;
            auto display = VirtualDisplay::create(platform->virtualDisplays(), c.profile, 1);
            if (!display) {
                std::fprintf(json ? stderr : stdout, "%-24s no virtual display\n", c.name);
                break;
            }
            auto x = openDisplay(server->displayName());
            const auto rect = x11::displayBounds(x.get(), display->displayID());
            if (!rect) {
                std::fprintf(json ? stderr : stdout, "%-24s the virtual display is not enabled\n",
                             c.name);
                break;
            }
            const int rate = int(c.profile.fps);
            std::unique_ptr<Animator> animator;
            std::unique_ptr<DesktopActivity> activity;
            if (workload == "desktop") {
                activity = DesktopActivity::start(server->displayName(), *rect, rate);
            } else {
                animator = Animator::start(server->displayName(), *rect, rate, scene(), 24);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));

            measurePipeline(*platform, platform->capture(), server->pid(), display->displayID(),
                            c.profile, seconds, row);
            row.animationFps = animator   ? animator->framesPerSecond()
                               : activity ? activity->framesPerSecond()
                                          : 0;
            std::vector<ImageBufferRef> frames;
            measureStages(*platform, server->displayName(), *rect, c.profile, 3, row, frames);
            if (ffmpeg) measureFfmpeg(*server, *rect, c.profile, seconds, row);
            // The bare encoder alone on the machine: no animation, no capture.
            animator.reset();
            activity.reset();
            measureCeiling(*platform, c.profile, frames, 4, row);
            frames.clear();
            display.reset();

            const double cap = std::min(row.ceilingFps, double(c.profile.fps));
            if (json) {
                auto object = toJson(row);
                object["benchmark"] = "pipeline";
                object["workload"] = workload;
                object["profile"] = c.name;
                object["display"] = {{"width", rect->width}, {"height", rect->height}};
                object["encoder"] = encoderName;
                object["cores"] = std::thread::hardware_concurrency();
                object["seconds"] = seconds;
                object["fps_over_ceiling"] = cap > 0 ? row.fps / cap : 0;
                object["fps_over_ffmpeg"] = row.ffmpegFps > 0 ? row.fps / row.ffmpegFps : 0;
                std::printf("%s\n", object.dump().c_str());
                break;
            }
            char display_[32];
            std::snprintf(display_, sizeof display_, "%dx%d", int(rect->width), int(rect->height));
            std::printf(
                "%-24s %-10s | %5.2f/%5.2f %5.2f/%5.2f %5.2f/%5.2f | %6.1f %5.1f/%5.1f %8.2f %8.2f "
                "%6.0f %5llu | %7.1f %6.1f | %6.2f %6.2f %s\n",
                c.name, display_, row.grabMed, row.grabP99, row.convMed, row.convP99, row.encMed,
                row.encP99, row.fps, row.latMed, row.latP99, row.cpuPerFrame * 1000,
                row.xorgPerFrame * 1000, row.rssMB, (unsigned long long)row.skipped, row.ceilingFps,
                row.ffmpegFps, cap > 0 ? row.fps / cap : 0,
                row.ffmpegFps > 0 ? row.fps / row.ffmpegFps : 0, row.note.c_str());
            std::printf("%-24s %s %.1f fps, captured %.1f fps (%.0f%% changed); threads: %s\n", "",
                        workload == "desktop" ? "changes" : "animation", row.animationFps,
                        row.capturedFps, row.changedShare * 100, row.threads.c_str());
            std::fflush(stdout);
        } while (false);
        std::fflush(stdout);
        _exit(0);
    }
    if (json) return 0;
    std::printf(
        "\nfps, latency (capture to encoder output), cpu/frm (this process: capture + encode), "
        "xorg/frm (the X server: grabs + the animation's copies) and rss are of the real "
        "pipeline run; grab/convert/encode are one frame at a time; ceiling = the same codec fed "
        "24 consecutive pre-converted frames with nothing else running; /ceil = fps / min(ceiling, "
        "profile rate); /ffm = fps / ffmpeg "
        "x11grab+scale+libx264 ultrafast.\n");
    return 0;
}
