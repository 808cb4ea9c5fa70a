// PNG encoding of cursor images, and the built-in arrow. X hands cursors as premultiplied ARGB
// (XFixes, Xcursor), and so does GNOME's cursor theme; PNG holds straight alpha, so each pixel is
// un-premultiplied on the way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace panelora::cursorpng {

// Premultiplied ARGB pixels of a cursor, row by row, with its hot spot.
struct Image {
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    std::vector<uint32_t> pixels;
};

// The classic black-and-white arrow, tip and hot spot at (0, 0): what a desktop shows when it
// cannot load its cursor theme's.
Image builtInArrow();

// One premultiplied 0xAARRGGBB pixel as straight-alpha {R, G, B, A}. A colour channel larger
// than alpha (not valid premultiplied data) saturates at 255; alpha 0 gives all zeros.
std::array<uint8_t, 4> straightRGBA(uint32_t premultipliedARGB);

// An 8-bit RGBA PNG file of `width` × `height` premultiplied ARGB pixels, row by row. Nothing for
// an empty or oversized (over 4096 pixels a side) image, or when libpng fails.
std::optional<std::vector<uint8_t>> encode(const std::vector<uint32_t>& pixels, int width,
                                           int height);

}  // namespace panelora::cursorpng
