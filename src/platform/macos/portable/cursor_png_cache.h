// The cursor's PNG, encoded again only when its pixels change: the cursor is read up to 20 times
// a second, and encoding a PNG each time costs far more than comparing a few kilobytes.
//
// Any thread; the encoder runs outside the lock, so two threads may both encode a new bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace panelora::cursor {

// One bitmap as CoreGraphics lays it out; the pixels are borrowed for the call.
struct Bitmap {
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerRow = 0;
    size_t bitsPerPixel = 0;
    std::span<const uint8_t> pixels;
};

class PngCache {
  public:
    using Encoder = std::function<std::optional<std::vector<uint8_t>>()>;

    // The kept PNG when `bitmap` equals the last one encoded (layout and every byte); otherwise
    // encode()'s result, kept for the next call when there is one.
    std::optional<std::vector<uint8_t>> png(const Bitmap& bitmap, const Encoder& encode);

  private:
    struct Kept {
        size_t width = 0, height = 0, bytesPerRow = 0, bitsPerPixel = 0;
        std::vector<uint8_t> pixels;
        std::vector<uint8_t> png;
    };
    std::mutex mutex_;
    std::optional<Kept> kept_;  // guarded by mutex_
};

}  // namespace panelora::cursor
