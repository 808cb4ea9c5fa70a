#include "pictures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace panelora::test {

std::shared_ptr<Nv12Buffer> movingPattern(int32_t width, int32_t height, int frame) {
    auto picture = std::make_shared<Nv12Buffer>(width, height);
    uint8_t* luma = picture->mutablePlaneData(0);
    uint8_t* chroma = picture->mutablePlaneData(1);
    const int32_t stride = picture->planeStride(0);
    const int32_t boxX = (frame * 12) % std::max(1, width - width / 4);
    const int32_t boxY = height / 3;
    const int32_t circleX = width / 2 + static_cast<int32_t>(width / 5 * std::sin(frame * 0.1));
    const int32_t circleY = height / 2 + static_cast<int32_t>(height / 5 * std::cos(frame * 0.1));
    const int32_t radius = std::max(4, height / 8);
    auto inBox = [&](int32_t x, int32_t y) {
        return x >= boxX && x < boxX + width / 4 && y >= boxY && y < boxY + height / 6;
    };
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            int value = 16 + (x * 160 / width) + (y * 50 / height);
            if (inBox(x, y)) value = 230;
            const int dx = x - circleX, dy = y - circleY;
            if (dx * dx + dy * dy < radius * radius) value = 40;
            // A band of thin lines, like text.
            if (y > height * 3 / 4 && y < height * 3 / 4 + 40 && ((x + frame * 2) / 3) % 4 == 0)
                value = 20;
            luma[y * stride + x] = static_cast<uint8_t>(value);
        }
    }
    for (int32_t y = 0; y < height / 2; ++y) {
        for (int32_t x = 0; x < width / 2; ++x) {
            const bool box = inBox(2 * x, 2 * y);
            chroma[y * stride + 2 * x] = static_cast<uint8_t>(box ? 90 : 98 + x * 120 / width);
            chroma[y * stride + 2 * x + 1] =
                static_cast<uint8_t>(box ? 200 : 98 + y * 120 / height);
        }
    }
    return picture;
}

std::shared_ptr<Nv12Buffer> noisePicture(int32_t width, int32_t height, uint32_t seed) {
    auto picture = std::make_shared<Nv12Buffer>(width, height);
    std::mt19937 random(seed);
    for (int plane = 0; plane < 2; ++plane) {
        const int32_t rows = plane == 0 ? height : height / 2;
        for (int32_t y = 0; y < rows; ++y) {
            uint8_t* row = picture->mutablePlaneData(plane) + y * picture->planeStride(plane);
            for (int32_t x = 0; x < width; ++x)
                row[x] = static_cast<uint8_t>(random());
        }
    }
    return picture;
}

std::shared_ptr<Nv12Buffer> solidPicture(int32_t width, int32_t height, uint8_t y, uint8_t u,
                                         uint8_t v) {
    auto picture = std::make_shared<Nv12Buffer>(width, height);
    for (int32_t row = 0; row < height; ++row)
        std::memset(picture->mutablePlaneData(0) + row * picture->planeStride(0), y, width);
    for (int32_t row = 0; row < height / 2; ++row) {
        uint8_t* chroma = picture->mutablePlaneData(1) + row * picture->planeStride(1);
        for (int32_t x = 0; x < width / 2; ++x) {
            chroma[2 * x] = u;
            chroma[2 * x + 1] = v;
        }
    }
    return picture;
}

Yuv nv12At(const ImageBuffer& image, int x, int y) {
    const uint8_t* luma = image.planeData(0) + static_cast<size_t>(y) * image.planeStride(0) + x;
    const uint8_t* chroma = image.planeData(1) + static_cast<size_t>(y / 2) * image.planeStride(1) +
                            static_cast<size_t>(x / 2) * 2;
    return {luma[0], chroma[0], chroma[1]};
}

::testing::AssertionResult yuvNear(const ImageBuffer& image, int x, int y, Yuv expected) {
    const Yuv actual = nv12At(image, x, y);
    if (std::abs(actual.y - expected.y) <= 3 && std::abs(actual.u - expected.u) <= 3 &&
        std::abs(actual.v - expected.v) <= 3)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "at " << x << "," << y << ": YUV " << actual.y << " " << actual.u << " " << actual.v
           << ", expected " << expected.y << " " << expected.u << " " << expected.v;
}

}  // namespace panelora::test
