// Keeps a rectangle of the root window changing at a set rate at little CPU cost, for tests and
// benchmarks that need a busy display: `frames` pictures are rendered once into server-side
// pixmaps, then a thread copies them onto a window in turn (XCopyArea, no pixels cross the
// connection). Has a connection of its own; stops and frees everything in the destructor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/geometry.h"
#include "x11_helpers.h"

namespace panelora::test {

class Animator {
  public:
    // Fills `pixels` (width × height, 0xRRGGBB) with picture `index` of `frames`.
    using Render = std::function<void(std::vector<uint32_t>& pixels, int width, int height,
                                      int index, int frames)>;
    // Random pixels: every frame costs the encoder the most bits.
    static Render noise();

    static std::unique_ptr<Animator> start(const std::string& displayName, Rect rect, int fps,
                                           const Render& render, int frames = 16);
    ~Animator();

    // Pictures shown per second since the animation started.
    double framesPerSecond() const;

  private:
    Animator() = default;
    void run();

    DisplayPtr display_;
    Window window_ = 0;
    GC gc_ = nullptr;
    std::vector<Pixmap> pixmaps_;
    Rect rect_;
    int fps_ = 60;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> shown_{0};
    std::chrono::steady_clock::time_point startedAt_;
    std::thread thread_;
};

}  // namespace panelora::test
