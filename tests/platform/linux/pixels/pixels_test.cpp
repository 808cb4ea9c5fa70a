// BGRA to NV12 conversion on every path (same size, shrinking, growing) and the cursor blend,
// against the BT.601 video-range values of known colours; and pictures built from partial
// updates by two threads against the picture converted whole by one, at the sizes the capture
// meets (same size, growing, shrinking, odd source sizes); and the cursor's PNG.
#include "test_prelude.h"  // first: gtest before Xlib, whose macros break its templates

#include <array>
#include <cstring>
#include <random>

#include "pictures.h"
#include "platform/linux/pixels/cursor_png.h"
#include "platform/linux/pixels/frame_converter.h"
#include "platform/linux/pixels/incremental_converter.h"
#include "platform/linux/x11/x11_cursor_source.h"
#include "png_reader.h"

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

// The visible bytes of both planes are equal.
::testing::AssertionResult samePicture(const Nv12Buffer& a, const Nv12Buffer& b) {
    for (int plane = 0; plane < 2; ++plane) {
        const int rows = plane == 0 ? a.height() : a.height() / 2;
        for (int y = 0; y < rows; ++y) {
            const uint8_t* ra = a.planeData(plane) + static_cast<size_t>(y) * a.planeStride(plane);
            const uint8_t* rb = b.planeData(plane) + static_cast<size_t>(y) * b.planeStride(plane);
            if (std::memcmp(ra, rb, static_cast<size_t>(a.width())) != 0) {
                return ::testing::AssertionFailure() << "plane " << plane << " row " << y;
            }
        }
    }
    return ::testing::AssertionSuccess();
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
    Nv12Buffer image(c.width, c.height);  // zeros
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
// gives, for cursors inside, at odd places and hanging over each edge.
TEST(BlendCursorIntoNv12, MatchesBlendingBeforeTheConversion) {
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
        EXPECT_TRUE(samePicture(actual, expected)) << "cursor at " << left << "," << top;
    }
}

using Rect = IncrementalConverter::Rect;

struct Sizes {
    int sourceWidth, sourceHeight, destinationWidth, destinationHeight;
};

class Picture {
  public:
    Picture(int width, int height) : stride_(width * 4 + 16) {
        pixels_.resize(static_cast<size_t>(stride_) * height);
        fill(Rect{0, 0, width, height});
    }
    // New random content inside `r`.
    void fill(const Rect& r) {
        for (int y = r.y; y < r.y + r.height; ++y)
            for (int x = r.x * 4; x < (r.x + r.width) * 4; ++x)
                pixels_[static_cast<size_t>(y) * stride_ + x] = static_cast<uint8_t>(random_());
    }
    const uint8_t* data() const { return pixels_.data(); }
    int stride() const { return stride_; }

  private:
    int stride_;
    std::vector<uint8_t> pixels_;
    std::mt19937 random_{7};
};

IncrementalConverter converterFor(const Sizes& s, int threads) {
    return {s.sourceWidth, s.sourceHeight, s.destinationWidth, s.destinationHeight, threads};
}

Nv12Buffer wholeConversion(const Sizes& s, const Picture& picture) {
    IncrementalConverter fresh = converterFor(s, 1);
    Nv12Buffer whole(s.destinationWidth, s.destinationHeight);
    fresh.update(picture.data(), picture.stride(), whole);
    return whole;
}

class IncrementalConversion : public ::testing::TestWithParam<Sizes> {};

TEST_P(IncrementalConversion, PartialUpdatesGiveThePictureConvertedWhole) {
    const Sizes s = GetParam();
    Picture picture(s.sourceWidth, s.sourceHeight);
    IncrementalConverter converter = converterFor(s, 2);
    // Three buffers taken in turn, as the capture's pool hands them out: each has missed the
    // changes made while the others were in use.
    std::vector<Nv12Buffer> buffers;
    for (int i = 0; i < 3; ++i)
        buffers.emplace_back(s.destinationWidth, s.destinationHeight);
    for (auto& b : buffers)
        converter.update(picture.data(), picture.stride(), b);

    std::mt19937 random(11);
    const int w = s.sourceWidth, h = s.sourceHeight;
    const std::vector<Rect> edges = {{0, 0, 1, 1},
                                     {w - 1, h - 1, 1, 1},
                                     {0, h - 3, w, 3},
                                     {w - 2, 0, 2, h},
                                     {w / 2, h / 2, 1, 1}};
    for (int step = 0; step < 30; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        Rect change = step < static_cast<int>(edges.size()) ? edges[step] : Rect{};
        if (step >= static_cast<int>(edges.size())) {
            change.width = 1 + static_cast<int>(random() % (w / 3));
            change.height = 1 + static_cast<int>(random() % (h / 3));
            change.x = static_cast<int>(random() % (w - change.width + 1));
            change.y = static_cast<int>(random() % (h - change.height + 1));
        }
        picture.fill(change);
        converter.markChanged(change);
        Nv12Buffer& buffer = buffers[step % buffers.size()];
        const double share = converter.update(picture.data(), picture.stride(), buffer);
        EXPECT_LT(share, 1.0);
        EXPECT_TRUE(samePicture(buffer, wholeConversion(s, picture)));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, IncrementalConversion,
                         ::testing::Values(Sizes{640, 480, 640, 480},  // same size
                                           Sizes{427, 320, 682, 512},  // growing
                                           Sizes{854, 640, 640, 480},  // shrinking
                                           Sizes{301, 211, 482, 338},  // odd source
                                           Sizes{1708, 1280, 2732, 2048}));

TEST(IncrementalConverter, OnlyWhatChangedIsConvertedAndForgottenBuffersWhole) {
    const Sizes s{640, 480, 1024, 768};
    Picture picture(s.sourceWidth, s.sourceHeight);
    IncrementalConverter converter = converterFor(s, 1);
    Nv12Buffer buffer(s.destinationWidth, s.destinationHeight);
    EXPECT_EQ(converter.update(picture.data(), picture.stride(), buffer), 1.0);  // unknown
    EXPECT_EQ(converter.update(picture.data(), picture.stride(), buffer), 0.0);  // unchanged
    converter.markChanged(Rect{100, 100, 3, 12});  // a caret: one or two tiles
    const double caret = converter.update(picture.data(), picture.stride(), buffer);
    EXPECT_GT(caret, 0.0);
    EXPECT_LE(caret, 4.0 / (converter.tilesAcross() * converter.tilesDown()));
    converter.markChanged(Rect{-50, -50, 10, 10});  // outside: nothing
    EXPECT_EQ(converter.update(picture.data(), picture.stride(), buffer), 0.0);

    // Twelve other buffers later this one is no longer remembered.
    for (int i = 0; i < 12; ++i) {
        Nv12Buffer other(s.destinationWidth, s.destinationHeight);
        converter.update(picture.data(), picture.stride(), other);
    }
    EXPECT_EQ(converter.update(picture.data(), picture.stride(), buffer), 1.0);
}

TEST(CursorPng, UnpremultipliesEachPixel) {
    struct Case {
        uint32_t argb;
        std::array<uint8_t, 4> rgba;
    };
    const Case cases[] = {
        {0xFF102030, {0x10, 0x20, 0x30, 0xFF}},  // opaque: unchanged
        {0x00000000, {0, 0, 0, 0}},              // transparent
        {0x00FFFFFF, {0, 0, 0, 0}},              // invalid colour under alpha 0: cleared
        {0x80400000, {128, 0, 0, 0x80}},         // 0x40 at half alpha is 128 (rounded)
        {0x80808080, {255, 255, 255, 0x80}},     // full white at half alpha
        {0x40FF0000, {255, 0, 0, 0x40}},         // over-range colour saturates
        {0x01010000, {255, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cursorpng::straightRGBA(c.argb), c.rgba) << std::hex << c.argb;
    }
}

TEST(CursorPng, RefusesEmptyShortAndOversizedImages) {
    EXPECT_FALSE(cursorpng::encode({}, 0, 0));
    EXPECT_FALSE(cursorpng::encode({0xFF000000}, 2, 2));  // fewer pixels than the size says
    EXPECT_FALSE(cursorpng::encode(std::vector<uint32_t>(4097, 0), 4097, 1));
    EXPECT_FALSE(cursorpng::encode({0xFF000000}, -1, 1));
}

// The arrow's tip, an opaque pixel, is its hot spot; as a cursor its size is in points and its
// PNG in pixels.
TEST(CursorPng, BuiltInArrowHasItsTipAtTheHotSpot) {
    auto arrow = cursorpng::builtInArrow();
    ASSERT_EQ(arrow.pixels.size(), size_t(arrow.width * arrow.height));
    EXPECT_EQ(arrow.pixels[size_t(arrow.hotY * arrow.width + arrow.hotX)], 0xFF000000u);
    auto cursor = X11CursorSource::makeCursor(arrow, 2);  // two pixels per point
    EXPECT_EQ(cursor.width, arrow.width / 2.0);
    EXPECT_EQ(cursor.height, arrow.height / 2.0);
    EXPECT_EQ(cursor.hotSpot, (Point{arrow.hotX / 2.0, arrow.hotY / 2.0}));
    const auto png = cursor.png ? cursor.png() : std::nullopt;
    const auto decoded = png ? decodePng(*png, true) : std::nullopt;
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(std::pair(decoded->width, decoded->height), std::pair(arrow.width, arrow.height));
}

}  // namespace
}  // namespace panelora::test
