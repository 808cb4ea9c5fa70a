// Encoding speed of LibavVideoCodec at the stream profiles the tablets ask for.
//
//   codec_bench [frames per profile, default 300] [--ffmpeg] [--only WxH]
//
// Per profile: submit-to-completion latency (median, p99) with one frame at a time; sustained
// frame rate with two frames in flight, as the encoder core keeps them; CPU seconds per frame and
// the process's peak RSS. The source is 30 pre-made NV12 frames of a desktop-like picture with a
// scrolling text window, cycled, so making pictures costs nothing during the runs. With --ffmpeg
// the same 30 frames are written to a raw file and encoded by the ffmpeg command line (bare
// libx264 ultrafast, and with this codec's x264 settings), which gives the ceiling to compare with.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/codec/libav_video_codec.h"

namespace {

using panelora::EncodedSample;
using panelora::LibavVideoCodecFactory;
using panelora::Nv12Buffer;
using panelora::VideoCodec;
using panelora::VideoCodecSettings;
using Clock = std::chrono::steady_clock;

struct Profile {
    int32_t width;
    int32_t height;
    int64_t fps;
    int64_t bitRate;
};

constexpr Profile kProfiles[] = {
    {2048, 1536, 60, 20'000'000},
    {2360, 1640, 60, 46'444'800},
    {2732, 2048, 60, 67'141'632},
    {1796, 1346, 120, 43'513'488},
};
constexpr int kDistinctFrames = 30;

// A desktop: a soft background, two windows of text-like lines, one of them scrolling, and a
// box moving across.
std::shared_ptr<Nv12Buffer> desktop(int32_t width, int32_t height, int frame) {
    auto picture = std::make_shared<Nv12Buffer>(width, height);
    uint8_t* luma = picture->mutablePlaneData(0);
    uint8_t* chroma = picture->mutablePlaneData(1);
    const int32_t stride = picture->planeStride(0);
    const int32_t scroll = frame * 6;
    const int32_t boxX = (frame * 24) % (width - width / 8);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            int value = 60 + x * 60 / width + y * 40 / height;
            const bool left =
                x > width / 16 && x < width / 2 && y > height / 10 && y < height * 9 / 10;
            const bool right =
                x > width * 9 / 16 && x < width * 15 / 16 && y > height / 5 && y < height * 4 / 5;
            if (left || right) {
                const int32_t row = left ? y + scroll : y;
                const bool line = (row % 24) < 12 && ((x * 7 + (row / 24) * 13) % 11) < 6;
                value = line ? 30 : 225;
            }
            if (x >= boxX && x < boxX + width / 8 && y > height / 2 &&
                y < height / 2 + height / 8) {
                value = 150;
            }
            luma[static_cast<size_t>(y) * stride + x] = static_cast<uint8_t>(value);
        }
    }
    for (int32_t y = 0; y < height / 2; ++y) {
        for (int32_t x = 0; x < width / 2; ++x) {
            chroma[static_cast<size_t>(y) * stride + 2 * x] =
                static_cast<uint8_t>(110 + x * 40 / width);
            chroma[static_cast<size_t>(y) * stride + 2 * x + 1] =
                static_cast<uint8_t>(140 - y * 40 / height);
        }
    }
    return picture;
}

VideoCodecSettings settingsFor(const Profile& p) {
    VideoCodecSettings s;
    s.width = p.width;
    s.height = p.height;
    s.expectedFrameRate = p.fps;
    s.averageBitRate = p.bitRate;
    s.dataRateLimitBytes = p.bitRate * 2 / 8;
    s.dataRateLimitSeconds = 1;
    s.prioritizeSpeedOverQuality = p.fps > 60;
    return s;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

// Completions counted on the output thread; the bench thread waits for them.
struct Counter {
    std::mutex mutex;
    std::condition_variable changed;
    int64_t done = 0;
    int64_t bytes = 0;
    int64_t failed = 0;

    VideoCodec::Completion completion() {
        return [this](std::optional<EncodedSample> sample) {
            std::lock_guard lock(mutex);
            ++done;
            if (sample) {
                bytes += int64_t(sample->avcc.size());
            } else {
                ++failed;
            }
            changed.notify_all();
        };
    }
    void waitFor(int64_t count) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done >= count; });
    }
};

void runCodec(const Profile& p, const std::vector<std::shared_ptr<Nv12Buffer>>& frames, int count) {
    LibavVideoCodecFactory factory;
    auto codec = factory.create(settingsFor(p));
    if (!codec) {
        std::printf("  codec: creation failed\n");
        return;
    }
    // Latency: one frame at a time.
    Counter single;
    std::vector<double> latencies;
    const int latencyFrames = std::max(30, count / 2);
    for (int i = 0; i < latencyFrames; ++i) {
        const auto start = Clock::now();
        codec->encode(frames[i % frames.size()], i, i == 0, single.completion());
        single.waitFor(i + 1);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    // Throughput: two frames in flight.
    Counter pipelined;
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (i >= 2) pipelined.waitFor(i - 1);
        codec->encode(frames[i % frames.size()], i, false, pipelined.completion());
    }
    pipelined.waitFor(count);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf(
        "  codec:  latency median %6.2f ms  p99 %6.2f ms | %6.1f fps with 2 in flight"
        " | %5.1f ms CPU/frame | %6.1f Mbit/s at %lld fps | peak RSS %ld MiB%s\n",
        percentile(latencies, 0.5), percentile(latencies, 0.99), count / wall, cpu / count * 1000,
        double(pipelined.bytes) * 8 / count * double(p.fps) / 1e6, static_cast<long long>(p.fps),
        peakRssMiB(), pipelined.failed + single.failed ? "  (some frames failed)" : "");
}

void runFfmpeg(const Profile& p, const std::vector<std::shared_ptr<Nv12Buffer>>& frames,
               int count) {
    const std::string size = std::to_string(p.width) + "x" + std::to_string(p.height);
    const std::string path = "/tmp/panelora-codec-bench-" + size + ".nv12";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (const auto& frame : frames) {
            for (int plane = 0; plane < 2; ++plane) {
                const int32_t rows = plane == 0 ? p.height : p.height / 2;
                for (int32_t y = 0; y < rows; ++y) {
                    out.write(reinterpret_cast<const char*>(frame->planeData(plane)) +
                                  static_cast<size_t>(y) * frame->planeStride(plane),
                              p.width);
                }
            }
        }
    }
    const int loops = std::max(0, count / int(frames.size()) - 1);
    const std::string rate = std::to_string(p.bitRate);
    const std::string input = "ffmpeg -hide_banner -nostats -loglevel error -stream_loop " +
                              std::to_string(loops) + " -f rawvideo -pix_fmt nv12 -s " + size +
                              " -r " + std::to_string(p.fps) + " -i " + path;
    // "ours" is this codec's configuration: High profile through the 8×8 transform, VBV at
    // 1.5× the average with half a second of buffer. "superfast" is the same one preset slower.
    const std::string ours = " -tune zerolatency -profile:v high -b:v " + rate + " -maxrate " +
                             std::to_string(p.bitRate * 3 / 2) + " -bufsize " +
                             std::to_string(p.bitRate / 2) +
                             " -x264-params rc-lookahead=0:sync-lookahead=0:bframes=0:"
                             "sliced-threads=1:8x8dct=1";
    const std::string variants[][2] = {
        {"bare", " -c:v libx264 -preset ultrafast -tune zerolatency -b:v " + rate},
        {"ours", " -c:v libx264 -preset ultrafast" + ours},
        {"superfast", " -c:v libx264 -preset superfast" + ours},
    };
    const int frameCount = (loops + 1) * int(frames.size());
    for (const auto& [name, codec] : variants) {
        const std::string command = input + codec + " -f null -";
        const auto start = Clock::now();
        const int status = std::system(command.c_str());
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        if (status != 0) {
            std::printf("  ffmpeg %-9s failed (%d): %s\n", name.c_str(), status, command.c_str());
            continue;
        }
        std::printf("  ffmpeg %-9s %6.1f fps over %d frames: %s\n", name.c_str(), frameCount / wall,
                    frameCount, command.c_str());
    }
    std::remove(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int count = 300;
    bool ffmpeg = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ffmpeg") == 0) {
            ffmpeg = true;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            count = std::max(30, std::atoi(argv[i]));
        }
    }
    std::printf("hardware encoder: %s\n",
                LibavVideoCodecFactory::probedHardwareEncoder().empty()
                    ? "none, libx264"
                    : LibavVideoCodecFactory::probedHardwareEncoder().c_str());
    for (const Profile& p : kProfiles) {
        const std::string size = std::to_string(p.width) + "x" + std::to_string(p.height);
        if (!only.empty() && only != size) continue;
        std::vector<std::shared_ptr<Nv12Buffer>> frames;
        for (int i = 0; i < kDistinctFrames; ++i)
            frames.push_back(desktop(p.width, p.height, i));
        std::printf("%s @ %lld fps, %lld bit/s, %d frames\n", size.c_str(),
                    static_cast<long long>(p.fps), static_cast<long long>(p.bitRate), count);
        runCodec(p, frames, count);
        if (ffmpeg) runFfmpeg(p, frames, count);
        std::fflush(stdout);
    }
    return 0;
}
