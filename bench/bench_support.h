// Measuring helpers and the busy desktop picture shared by the pipeline and session benchmarks.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "animator.h"

namespace panelora::bench {

inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t i = std::min(
        values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[i];
}

// CPU seconds (user + system) of this process so far.
inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds (utime + stime) in a /proc stat file (a process's or a thread's), 0 when
// unreadable; `name` gets the name between the parentheses.
inline double statCpuSeconds(const std::string& path, std::string* name = nullptr) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return 0;
    if (name) *name = text.substr(open + 1, close - open - 1);
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields after the name start at 3 (state); utime is 14, stime 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds of another process, 0 when unreadable.
inline double otherProcessCpuSeconds(pid_t pid) {
    return statCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

// A memory figure of this process's /proc status ("VmHWM:", "RssShmem:") in MB.
inline double statusMB(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size())) / 1024.0;
    }
    return 0;
}
// Peak resident memory (VmHWM) of this process in MB, and its reset (so that each phase of a
// benchmark gets its own peak).
inline double peakRssMB() {
    return statusMB("VmHWM:");
}
inline void resetPeakRss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

// A busy desktop for the animator: a diagonal gradient that scrolls, eight vertical bars that
// move, and a noisy patch.
inline test::Animator::Render scene() {
    return [seed = uint64_t{0x9E3779B97F4A7C15}](std::vector<uint32_t>& pixels, int w, int h,
                                                 int index, int frames) mutable {
        const int shift = index * w / frames;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int u = (x + shift) % w;
                pixels[size_t(y) * size_t(w) + size_t(x)] = uint32_t(255 * u / w) << 16 |
                                                            uint32_t(255 * y / h) << 8 |
                                                            uint32_t((u + y) & 0xFF);
            }
        }
        for (int bar = 0; bar < 8; ++bar) {
            const int x0 = (bar * w / 8 + index * 7 * (bar + 1)) % w;
            for (int y = h / 4; y < 3 * h / 4; ++y)
                for (int x = x0; x < std::min(w, x0 + w / 40); ++x)
                    pixels[size_t(y) * size_t(w) + size_t(x)] = 0x203040u * uint32_t(bar + 1);
        }
        const int patch = std::min({256, w / 4, h / 4});
        for (int y = 0; y < patch; ++y) {
            for (int x = 0; x < patch; ++x) {
                seed ^= seed << 13;
                seed ^= seed >> 7;
                seed ^= seed << 17;
                pixels[size_t(y + h / 8) * size_t(w) + size_t(x + w / 8)] =
                    uint32_t(seed) & 0xFFFFFF;
            }
        }
    };
}

}  // namespace panelora::bench
