// BGRA to NV12 conversion on every path (same size, shrinking, growing) and the cursor blend,
// against the BT.601 video-range values of known colours.
#include "platform/linux/pixels/frame_converter.h"

#include <array>

#include "pictures.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

struct Bgra {
    uint8_t b, g, r;
};

constexpr Bgra kWhite{255, 255, 255}, kBlack{0, 0, 0}, kRed{0, 0, 255}, kBlue{255, 0, 0};

// A picture split in four quadrants: white, red / blue, black.
std::vector<uint8_t> quadrants(int width, int height, int stride) {
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height, 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            bool right = x >= width / 2, bottom = y >= height / 2;
            Bgra c = bottom ? (right ? kBlack : kBlue) : (right ? kRed : kWhite);
            uint8_t* p = &pixels[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4];
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 0;
        }
    }
    return pixels;
}

struct SizeCase {
    int sourceWidth, sourceHeight, width, height;
    FrameConverter::Path path;
};

class FrameConverterSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FrameConverterSizes, QuadrantColoursSurviveAtTheEncodedSize) {
    const SizeCase c = GetParam();
    const int stride = c.sourceWidth * 4 + 64;  // padded rows, as XImage may have
    auto pixels = quadrants(c.sourceWidth, c.sourceHeight, stride);
    FrameConverter converter(c.sourceWidth, c.sourceHeight, c.width, c.height);
    EXPECT_EQ(converter.path(), c.path);
    Nv12Buffer image(c.width, c.height);
    std::fill(image.mutablePlaneData(0),
              image.mutablePlaneData(0) + image.planeStride(0) * c.height, 0);
    converter.convert(pixels.data(), stride, image);

    const int qx = c.width / 4, qy = c.height / 4;
    EXPECT_TRUE(yuvNear(image, qx, qy, kWhiteYuv));
    EXPECT_TRUE(yuvNear(image, 3 * qx, qy, kRedYuv));
    EXPECT_TRUE(yuvNear(image, qx, 3 * qy, kBlueYuv));
    EXPECT_TRUE(yuvNear(image, 3 * qx, 3 * qy, kBlackYuv));
    // The last row and column are written too (no stale 0 left at the edges).
    EXPECT_NEAR(nv12At(image, c.width - 1, c.height - 1).y, kBlackYuv.y, 3);
    EXPECT_NEAR(nv12At(image, c.width - 1, 0).y, kRedYuv.y, 3);
}

INSTANTIATE_TEST_SUITE_P(
    AllPaths, FrameConverterSizes,
    ::testing::Values(SizeCase{64, 48, 64, 48, FrameConverter::Path::direct},
                      SizeCase{128, 96, 64, 48, FrameConverter::Path::scaleThenConvert},
                      SizeCase{1024, 768, 640, 480, FrameConverter::Path::scaleThenConvert},
                      SizeCase{64, 48, 128, 96, FrameConverter::Path::convertThenScale},
                      SizeCase{1366, 1024, 2732, 2048, FrameConverter::Path::convertThenScale},
                      // odd display sizes
                      SizeCase{101, 77, 200, 150, FrameConverter::Path::convertThenScale},
                      SizeCase{301, 201, 100, 66, FrameConverter::Path::scaleThenConvert}));

// Premultiplied cursor pixels (only the low 32 bits of each element count) over a grey picture,
// clipped at its edges.
TEST(BlendCursor, PremultipliedPixelsBlendAndClipAtTheEdges) {
    const int width = 8, height = 6, stride = width * 4;
    std::vector<uint8_t> picture(static_cast<size_t>(stride) * height, 100);
    constexpr unsigned long kHigh = static_cast<unsigned long>(0xDEADBEEF00000000ull);
    // 3 × 2 at (6, 4), its right column and nothing else outside: opaque white, clear and
    // half-transparent red, then opaque green.
    std::array<unsigned long, 6> cursor = {kHigh | 0xFFFFFFFF, 0, 0x80800000ul,
                                           kHigh | 0xFF00FF00, 0, 0x80800000ul};
    blendCursor(picture.data(), stride, width, height, CursorPixels{6, 4, 3, 2, cursor.data()});
    // Half-transparent red hanging over the top-left corner.
    std::array<unsigned long, 4> red = {0x80800000ul, 0x80800000ul, 0x80800000ul, 0x80800000ul};
    blendCursor(picture.data(), stride, width, height, CursorPixels{-1, -1, 2, 2, red.data()});
    const uint8_t under = (100 * 127 + 127) / 255;  // 100 × (1 − α)
    const std::array<uint8_t, 3> grey{100, 100, 100};
    const std::tuple<int, int, std::array<uint8_t, 3>> expected[] = {
        {6, 4, {255, 255, 255}},
        {7, 4, grey},
        {6, 5, {0, 255, 0}},
        {7, 5, grey},
        {5, 4, grey},
        {6, 3, grey},
        {0, 5, grey},
        {0, 0, {under, under, uint8_t(0x80 + under)}},
        {1, 0, grey},
        {0, 1, grey}};
    for (const auto& [x, y, bgr] : expected) {
        const uint8_t* p = &picture[static_cast<size_t>(y) * stride + x * 4];
        EXPECT_EQ((std::array{p[0], p[1], p[2]}), bgr) << x << "," << y;
    }
}

// Drawing into the converted picture gives what converting the picture with the cursor blended in
// gives, for cursors inside, at odd places and hanging over each edge; the source is not touched.
TEST(BlendCursorIntoNv12, MatchesBlendingBeforeTheConversionAndLeavesTheSourceAlone) {
    const int width = 64, height = 48, stride = width * 4;
    const std::vector<uint8_t> source = quadrants(width, height, stride);
    std::vector<unsigned long> cursor(7 * 5);
    for (size_t i = 0; i < cursor.size(); ++i) {
        cursor[i] = i % 3 == 0 ? 0xFF00FF00ul : i % 3 == 1 ? 0x80800000ul : 0ul;
    }
    FrameConverter converter(width, height, width, height);
    std::vector<uint8_t> scratch;
    for (auto [left, top] : {std::pair{10, 10}, {31, 23}, {-3, -2}, {60, 45}, {100, 100}}) {
        const CursorPixels placed{left, top, 7, 5, cursor.data()};
        std::vector<uint8_t> blended = source;
        blendCursor(blended.data(), stride, width, height, placed);
        Nv12Buffer expected(width, height), actual(width, height);
        converter.convert(blended.data(), stride, expected);
        converter.convert(source.data(), stride, actual);
        blendCursorIntoNv12(source.data(), stride, width, height, placed, actual, scratch);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const Yuv a = nv12At(actual, x, y), e = nv12At(expected, x, y);
                ASSERT_TRUE(a.y == e.y && a.u == e.u && a.v == e.v)
                    << "cursor at " << left << "," << top << ", pixel " << x << "," << y;
            }
        }
    }
    EXPECT_EQ(source, quadrants(width, height, stride));
}

}  // namespace
}  // namespace panelora::test
