// NV12 pictures to encode, and the colour at a point of one.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "video/image_buffer.h"

namespace panelora::test {

// A gradient with shapes that move with `frame`: edges, flat areas and colour, like a desktop.
std::shared_ptr<Nv12Buffer> movingPattern(int32_t width, int32_t height, int frame);
// Every byte random: the most expensive picture there is.
std::shared_ptr<Nv12Buffer> noisePicture(int32_t width, int32_t height, uint32_t seed);
// One colour all over, given as video-range Y, Cb, Cr.
std::shared_ptr<Nv12Buffer> solidPicture(int32_t width, int32_t height, uint8_t y, uint8_t u = 128,
                                         uint8_t v = 128);

struct Yuv {
    int y, u, v;
};
// Pure colours in BT.601 video range, as libyuv's ARGBToNV12 computes them.
constexpr Yuv kWhiteYuv{235, 128, 128}, kBlackYuv{16, 128, 128}, kRedYuv{81, 90, 240},
    kBlueYuv{41, 240, 110};
Yuv nv12At(const ImageBuffer& image, int x, int y);
// Whether the pixel at (x, y) is within 3 of `expected` in each of Y, Cb and Cr.
::testing::AssertionResult yuvNear(const ImageBuffer& image, int x, int y, Yuv expected);

}  // namespace panelora::test
