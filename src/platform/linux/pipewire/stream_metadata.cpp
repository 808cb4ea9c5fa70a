#include "platform/linux/pipewire/stream_metadata.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <cstdint>
#include <cstring>

namespace panelora {
namespace {

std::shared_ptr<const CursorBitmap> readBitmap(const uint8_t* base, size_t size,
                                               const spa_meta_cursor& cursor) {
    const uint64_t at = cursor.bitmap_offset;
    if (at < sizeof(spa_meta_cursor) || at + sizeof(spa_meta_bitmap) > size) return nullptr;
    spa_meta_bitmap bitmap;
    std::memcpy(&bitmap, base + at, sizeof bitmap);
    if (bitmap.format == 0) return nullptr;
    auto image = std::make_shared<CursorBitmap>();
    if (bitmap.offset == 0 || bitmap.size.width == 0 || bitmap.size.height == 0) {
        return image;  // no visible pointer
    }
    const bool rgba = bitmap.format == SPA_VIDEO_FORMAT_RGBA;
    const bool bgra = bitmap.format == SPA_VIDEO_FORMAT_BGRA;
    const uint64_t width = bitmap.size.width, height = bitmap.size.height;
    const int64_t stride = bitmap.stride;
    if ((!rgba && !bgra) || width > kMaxCursorBitmapSide || height > kMaxCursorBitmapSide ||
        stride < static_cast<int64_t>(width * 4) || bitmap.offset < sizeof(spa_meta_bitmap)) {
        return nullptr;
    }
    const uint64_t pixelsAt = at + bitmap.offset;
    if (pixelsAt + static_cast<uint64_t>(stride) * (height - 1) + width * 4 > size) return nullptr;
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    image->hotX = cursor.hotspot.x;
    image->hotY = cursor.hotspot.y;
    image->pixels.resize(width * height);
    for (uint64_t row = 0; row < height; ++row) {
        const uint8_t* p = base + pixelsAt + row * static_cast<uint64_t>(stride);
        for (uint64_t column = 0; column < width; ++column, p += 4) {
            const uint32_t r = rgba ? p[0] : p[2], g = p[1], b = rgba ? p[2] : p[0], a = p[3];
            image->pixels[row * width + column] = a << 24 | r << 16 | g << 8 | b;
        }
    }
    return image;
}

}  // namespace

StreamCursor readCursorMeta(const void* data, size_t size) {
    StreamCursor result;
    if (!data || size < sizeof(spa_meta_cursor)) return result;
    const auto* base = static_cast<const uint8_t*>(data);
    spa_meta_cursor cursor;
    std::memcpy(&cursor, base, sizeof cursor);
    result.known = true;
    result.onMonitor = cursor.id != 0;
    if (!result.onMonitor) return result;
    result.x = cursor.position.x;
    result.y = cursor.position.y;
    if (cursor.bitmap_offset != 0) result.bitmap = readBitmap(base, size, cursor);
    return result;
}

std::vector<Rect> readDamageMeta(const void* data, size_t size) {
    std::vector<Rect> rects;
    if (!data) return rects;
    const auto* base = static_cast<const uint8_t*>(data);
    for (size_t at = 0; at + sizeof(spa_meta_region) <= size; at += sizeof(spa_meta_region)) {
        spa_meta_region region;
        std::memcpy(&region, base + at, sizeof region);
        if (region.region.size.width == 0 || region.region.size.height == 0) break;
        rects.push_back(Rect{static_cast<double>(region.region.position.x),
                             static_cast<double>(region.region.position.y),
                             static_cast<double>(region.region.size.width),
                             static_cast<double>(region.region.size.height)});
    }
    return rects;
}

}  // namespace panelora
