// What a capture delivers, collected for system tests (X11 and GNOME): a sink for the samples
// and the colour of one NV12 pixel.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "video/image_buffer.h"
#include "video/screen_capturer.h"

namespace panelora::test {

// Collects the frames a capture delivers.
class FrameSink {
  public:
    void add(const CaptureSample& sample) {
        std::lock_guard lock(mutex_);
        samples_.push_back(sample);
        changed_.notify_all();
    }
    // Waits until at least `count` samples arrived; false on timeout.
    bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return samples_.size() >= count; });
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return samples_.size();
    }
    CaptureSample at(size_t i) {
        std::lock_guard lock(mutex_);
        return samples_.at(i);
    }
    CaptureSample last() {
        std::lock_guard lock(mutex_);
        return samples_.back();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CaptureSample> samples_;
};

struct Yuv {
    int y, u, v;
};

inline Yuv nv12At(const ImageBuffer& image, int x, int y) {
    const uint8_t* luma = image.planeData(0) + static_cast<size_t>(y) * image.planeStride(0) + x;
    const uint8_t* chroma = image.planeData(1) + static_cast<size_t>(y / 2) * image.planeStride(1) +
                            static_cast<size_t>(x / 2) * 2;
    return {luma[0], chroma[0], chroma[1]};
}

}  // namespace panelora::test
