#include "gnome_painter.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "wayland_canvas.h"

namespace panelora::bench {

namespace {

pid_t startPainterOn(const std::string& socket, int x, int y, const std::string& outputName,
                     int fps) {
    const pid_t painter = fork();
    if (painter != 0) return painter;
    std::unique_ptr<test::WaylandCanvas> canvas;
    while (!(canvas = test::WaylandCanvas::open({socket, x, y, 0xFF202020}, outputName, nullptr)))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto period = std::chrono::nanoseconds(1'000'000'000 / fps);
    auto next = std::chrono::steady_clock::now();
    for (uint32_t i = 1;; ++i) {
        canvas->fill(0xFF000000 | ((i * 0x050301u) & 0xFFFFFF));
        next += period;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

pid_t startGnomePainter(const std::string& socket, int x, int y, int fps) {
    return startPainterOn(socket, x, y, {}, fps);
}

pid_t startPainter(const std::string& socket, const std::string& outputName, int fps) {
    return startPainterOn(socket, 0, 0, outputName, fps);
}

void stopGnomePainter(pid_t painter) {
    if (painter <= 0) return;
    kill(painter, SIGKILL);
    waitpid(painter, nullptr, 0);
}

}  // namespace panelora::bench
