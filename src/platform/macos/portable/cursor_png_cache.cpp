#include "platform/macos/portable/cursor_png_cache.h"

#include <algorithm>

namespace panelora::cursor {

std::optional<std::vector<uint8_t>> PngCache::png(const Bitmap& bitmap, const Encoder& encode) {
    {
        std::lock_guard lock(mutex_);
        if (kept_ && kept_->width == bitmap.width && kept_->height == bitmap.height &&
            kept_->bytesPerRow == bitmap.bytesPerRow &&
            kept_->bitsPerPixel == bitmap.bitsPerPixel &&
            std::equal(kept_->pixels.begin(), kept_->pixels.end(), bitmap.pixels.begin(),
                       bitmap.pixels.end())) {
            return kept_->png;
        }
    }
    std::optional<std::vector<uint8_t>> png = encode();
    if (!png) return std::nullopt;
    std::lock_guard lock(mutex_);
    kept_ = Kept{bitmap.width,
                 bitmap.height,
                 bitmap.bytesPerRow,
                 bitmap.bitsPerPixel,
                 std::vector<uint8_t>(bitmap.pixels.begin(), bitmap.pixels.end()),
                 *png};
    return png;
}

}  // namespace panelora::cursor
