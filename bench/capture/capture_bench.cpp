// Grab + convert cost of one captured frame: MIT-SHM grab of a virtual display, then BGRA to NV12
// at the encoded size into a pooled buffer, as the X11 capture thread does per frame.
// Needs an X server with spare RandR outputs:
//   scripts/xorg-dummy.sh run -- build/bench/capture/capture_bench [frames]
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/pixels/frame_converter.h"
#include "platform/linux/x11/randr_virtual_display.h"
#include "platform/linux/x11/shm_image.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/xlib/x11_connection.h"

using namespace panelora;
using Clock = std::chrono::steady_clock;

namespace {

struct Case {
    const char* label;
    uint32_t displayWidth, displayHeight;  // pixels of the virtual display
    int encodedWidth, encodedHeight;
    std::optional<FrameConverter::Path> path;
};

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t i =
        std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

const char* pathName(FrameConverter::Path p) {
    switch (p) {
        case FrameConverter::Path::direct:
            return "direct";
        case FrameConverter::Path::scaleThenConvert:
            return "scale+convert";
        case FrameConverter::Path::convertThenScale:
            return "convert+scale";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    std::string why;
    auto connection = X11Connection::open({}, &why);
    if (!connection) {
        std::fprintf(stderr, "capture_bench: %s (run it under scripts/xorg-dummy.sh run --)\n",
                     why.c_str());
        return 1;
    }
    const Case cases[] = {
        {"2048x1536 display -> 2048x1536", 2048, 1536, 2048, 1536, {}},
        {"2732x2048 display -> 2732x2048", 2732, 2048, 2732, 2048, {}},
        {"1024x768 display -> 2048x1536", 1024, 768, 2048, 1536, {}},
        {"1024x768 display -> 2048x1536", 1024, 768, 2048, 1536,
         FrameConverter::Path::scaleThenConvert},
        {"1366x1024 display -> 2732x2048", 1366, 1024, 2732, 2048, {}},
        {"1366x1024 display -> 2732x2048", 1366, 1024, 2732, 2048,
         FrameConverter::Path::scaleThenConvert},
        {"2732x2048 display -> 2048x1536", 2732, 2048, 2048, 1536, {}},
        {"2732x2048 display -> 2048x1536", 2732, 2048, 2048, 1536,
         FrameConverter::Path::convertThenScale},
    };
    X11VirtualDisplayBackend backend;
    std::printf("%-34s %-14s %9s %9s %9s %9s %9s\n", "case", "path", "grab med", "conv med",
                "total med", "total p99", "max fps");
    for (const Case& c : cases) {
        auto display = backend.create({});
        VirtualDisplaySettings settings;
        settings.modes.push_back({c.displayWidth, c.displayHeight, 60});
        if (!display || !display->applySettings(settings)) {
            std::fprintf(stderr, "capture_bench: no virtual display for %s\n", c.label);
            return 1;
        }
        auto bounds = x11::displayBounds(connection->display(), display->displayID());
        auto image = ShmImage::create(*connection, static_cast<int>(bounds->width),
                                      static_cast<int>(bounds->height), &why);
        if (!image) {
            std::fprintf(stderr, "capture_bench: %s\n", why.c_str());
            return 1;
        }
        // Some content, so that nothing is trivially uniform.
        GC gc = XCreateGC(connection->display(), connection->root(), 0, nullptr);
        for (int i = 0; i < 64; ++i) {
            XSetForeground(connection->display(), gc, 0x10305070u * static_cast<unsigned>(i + 1));
            XFillRectangle(connection->display(), connection->root(), gc,
                           static_cast<int>(bounds->x) + (i * 37) % 1000, (i * 53) % 700, 300, 200);
        }
        XFreeGC(connection->display(), gc);
        connection->sync();

        FrameConverter converter(image->width(), image->height(), c.encodedWidth, c.encodedHeight,
                                 c.path);
        auto pool = Nv12BufferPool::create(c.encodedWidth, c.encodedHeight);
        std::vector<double> grab, convert, total;
        for (int i = 0; i < frames + 5; ++i) {
            auto t0 = Clock::now();
            image->grabRoot(static_cast<int>(bounds->x), static_cast<int>(bounds->y));
            auto t1 = Clock::now();
            auto buffer = pool->acquire();
            converter.convert(image->pixels(), image->stride(), *buffer);
            auto t2 = Clock::now();
            if (i < 5) continue;  // warm-up: first-touch page faults of the pool
            grab.push_back(ms(t1 - t0));
            convert.push_back(ms(t2 - t1));
            total.push_back(ms(t2 - t0));
        }
        double median = percentile(total, 0.5);
        std::printf("%-34s %-14s %9.2f %9.2f %9.2f %9.2f %9.0f\n", c.label,
                    pathName(converter.path()), percentile(grab, 0.5), percentile(convert, 0.5),
                    median, percentile(total, 0.99), 1000.0 / median);
        image.reset();
        display.reset();
    }
    return 0;
}
