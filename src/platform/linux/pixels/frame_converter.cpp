#include "platform/linux/pixels/frame_converter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>
#include <libyuv/scale_uv.h>

#include <algorithm>
#include <cstring>

namespace panelora {

FrameConverter::FrameConverter(int sourceWidth, int sourceHeight, int destinationWidth,
                               int destinationHeight, std::optional<Path> forced)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      destinationWidth_(destinationWidth),
      destinationHeight_(destinationHeight) {
    const int64_t sourceArea = int64_t{sourceWidth} * sourceHeight;
    const int64_t destinationArea = int64_t{destinationWidth} * destinationHeight;
    if (sourceWidth == destinationWidth && sourceHeight == destinationHeight) {
        path_ = Path::direct;
    } else if (forced && *forced != Path::direct) {
        path_ = *forced;
    } else if (sourceArea > destinationArea) {
        // Shrinking: scale the 4-byte pixels first so that the conversion runs on fewer.
        path_ = Path::scaleThenConvert;
    } else {
        // Growing (the usual case on X11, where the display has its point size in pixels):
        // convert the small picture, then scale 1.5 bytes a pixel instead of 4.
        path_ = Path::convertThenScale;
    }
    if (path_ == Path::scaleThenConvert) {
        scratchStride_ = destinationWidth * 4;
        scratch_.resize(static_cast<size_t>(scratchStride_) * destinationHeight);
    } else if (path_ == Path::convertThenScale) {
        scratchStride_ = (sourceWidth + 1) & ~1;
        const size_t luma = static_cast<size_t>(scratchStride_) * sourceHeight;
        scratch_.resize(luma + static_cast<size_t>(scratchStride_) * ((sourceHeight + 1) / 2));
    }
}

void FrameConverter::convert(const uint8_t* bgra, int stride, Nv12Buffer& destination) {
    uint8_t* y = destination.mutablePlaneData(0);
    uint8_t* uv = destination.mutablePlaneData(1);
    const int yStride = destination.planeStride(0);
    const int uvStride = destination.planeStride(1);
    switch (path_) {
        case Path::direct:
            libyuv::ARGBToNV12(bgra, stride, y, yStride, uv, uvStride, destinationWidth_,
                               destinationHeight_);
            break;
        case Path::scaleThenConvert:
            libyuv::ARGBScale(bgra, stride, sourceWidth_, sourceHeight_, scratch_.data(),
                              scratchStride_, destinationWidth_, destinationHeight_,
                              libyuv::kFilterBilinear);
            libyuv::ARGBToNV12(scratch_.data(), scratchStride_, y, yStride, uv, uvStride,
                               destinationWidth_, destinationHeight_);
            break;
        case Path::convertThenScale: {
            uint8_t* sy = scratch_.data();
            uint8_t* suv = sy + static_cast<size_t>(scratchStride_) * sourceHeight_;
            libyuv::ARGBToNV12(bgra, stride, sy, scratchStride_, suv, scratchStride_, sourceWidth_,
                               sourceHeight_);
            libyuv::ScalePlane(sy, scratchStride_, sourceWidth_, sourceHeight_, y, yStride,
                               destinationWidth_, destinationHeight_, libyuv::kFilterBilinear);
            libyuv::UVScale(suv, scratchStride_, (sourceWidth_ + 1) / 2, (sourceHeight_ + 1) / 2,
                            uv, uvStride, (destinationWidth_ + 1) / 2, (destinationHeight_ + 1) / 2,
                            libyuv::kFilterBilinear);
            break;
        }
    }
}

void blendCursor(uint8_t* bgra, int stride, int width, int height, const CursorPixels& cursor) {
    if (!cursor.pixels || cursor.width <= 0 || cursor.height <= 0) return;
    const int x0 = std::max(0, cursor.left);
    const int y0 = std::max(0, cursor.top);
    const int x1 = std::min(width, cursor.left + cursor.width);
    const int y1 = std::min(height, cursor.top + cursor.height);
    for (int row = y0; row < y1; ++row) {
        const unsigned long* source =
            cursor.pixels + static_cast<size_t>(row - cursor.top) * cursor.width;
        uint8_t* target = bgra + static_cast<size_t>(row) * stride;
        for (int column = x0; column < x1; ++column) {
            const auto argb = static_cast<uint32_t>(source[column - cursor.left]);
            const uint32_t alpha = argb >> 24;
            if (alpha == 0) continue;
            uint8_t* pixel = target + static_cast<size_t>(column) * 4;
            const uint32_t inverse = 255 - alpha;
            // Premultiplied: out = cursor + picture × (1 − α), per channel, rounded.
            for (int channel = 0; channel < 3; ++channel) {
                const uint32_t c = (argb >> (8 * channel)) & 0xff;
                const uint32_t blended = c + (pixel[channel] * inverse + 127) / 255;
                pixel[channel] = static_cast<uint8_t>(std::min<uint32_t>(blended, 255));
            }
        }
    }
}

}  // namespace panelora

namespace panelora {

void blendCursorIntoNv12(const uint8_t* bgra, int stride, int width, int height,
                         const CursorPixels& cursor, Nv12Buffer& destination,
                         std::vector<uint8_t>& scratch) {
    if (!cursor.pixels || cursor.width <= 0 || cursor.height <= 0) return;
    // Even bounds: a chroma sample covers 2 × 2 pixels.
    const int x0 = std::max(0, cursor.left) & ~1;
    const int y0 = std::max(0, cursor.top) & ~1;
    const int x1 = std::min(width, (cursor.left + cursor.width + 1) & ~1);
    const int y1 = std::min(height, (cursor.top + cursor.height + 1) & ~1);
    if (x0 >= x1 || y0 >= y1) return;
    const int patchWidth = x1 - x0, patchHeight = y1 - y0;
    const size_t rowBytes = static_cast<size_t>(patchWidth) * 4;
    scratch.resize(rowBytes * static_cast<size_t>(patchHeight));
    for (int row = 0; row < patchHeight; ++row) {
        std::memcpy(scratch.data() + rowBytes * static_cast<size_t>(row),
                    bgra + static_cast<size_t>(y0 + row) * stride + static_cast<size_t>(x0) * 4,
                    rowBytes);
    }
    CursorPixels moved = cursor;
    moved.left -= x0;
    moved.top -= y0;
    blendCursor(scratch.data(), static_cast<int>(rowBytes), patchWidth, patchHeight, moved);
    const int yStride = destination.planeStride(0);
    const int uvStride = destination.planeStride(1);
    uint8_t* y = destination.mutablePlaneData(0) + static_cast<size_t>(y0) * yStride + x0;
    uint8_t* uv = destination.mutablePlaneData(1) + static_cast<size_t>(y0 / 2) * uvStride + x0;
    libyuv::ARGBToNV12(scratch.data(), static_cast<int>(rowBytes), y, yStride, uv, uvStride,
                       patchWidth, patchHeight);
}

}  // namespace panelora
