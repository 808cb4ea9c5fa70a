// Pixel work of the X11 capture, kept free of X so that it can be tested and measured alone:
// BGRA (32-bit ZPixmap on a little-endian machine) to NV12 video range (BT.601) at the encoded
// size, and the pointer blended into the BGRA or the converted picture.
//
// One FrameConverter per capture stream, used by its capture thread only; its scratch memory is
// allocated once for the stream's sizes and reused for every frame.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "video/image_buffer.h"

namespace panelora {

class FrameConverter {
  public:
    enum class Path { direct, scaleThenConvert, convertThenScale };

    // Source (display) and destination (encoded) sizes; both at least 1 × 1. The path is chosen
    // from the sizes unless `forced` (benchmarks compare them); direct needs equal sizes.
    FrameConverter(int sourceWidth, int sourceHeight, int destinationWidth, int destinationHeight,
                   std::optional<Path> forced = std::nullopt);

    // `bgra` holds sourceWidth × sourceHeight pixels with `stride` bytes per row. Writes every
    // pixel of `destination`, which must be destinationWidth × destinationHeight.
    void convert(const uint8_t* bgra, int stride, Nv12Buffer& destination);

    Path path() const { return path_; }

  private:
    int sourceWidth_;
    int sourceHeight_;
    int destinationWidth_;
    int destinationHeight_;
    Path path_;
    std::vector<uint8_t> scratch_;  // scaled BGRA, or NV12 at the source size
    int scratchStride_ = 0;
};

// A pointer image as XFixes gives it: premultiplied ARGB, one pixel in the low 32 bits of each
// element (X hands `unsigned long`s, 64-bit on LP64).
struct CursorPixels {
    int left = 0;  // image position of the cursor's top-left pixel (pointer minus hot spot)
    int top = 0;
    int width = 0;
    int height = 0;
    const unsigned long* pixels = nullptr;
};

// Blends the cursor onto the BGRA picture (width × height, `stride` bytes a row), clipped to it.
void blendCursor(uint8_t* bgra, int stride, int width, int height, const CursorPixels& cursor);

// Draws the cursor into `destination`, an NV12 picture converted from `bgra` at the same size,
// without touching `bgra` (a buffer that may be read-only): the rows and columns the cursor
// covers, widened to even ones, are copied into `scratch`, blended there and converted again.
void blendCursorIntoNv12(const uint8_t* bgra, int stride, int width, int height,
                         const CursorPixels& cursor, Nv12Buffer& destination,
                         std::vector<uint8_t>& scratch);

}  // namespace panelora
