// Pictures built from partial updates by two threads against the picture converted whole by one,
// at the sizes the capture meets (same size, growing, shrinking, odd source sizes).
#include "platform/linux/pixels/incremental_converter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace panelora {
namespace {

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
                         ::testing::Values(Sizes{640, 480, 640, 480},    // same size
                                           Sizes{427, 320, 682, 512},    // growing
                                           Sizes{854, 640, 640, 480},    // shrinking
                                           Sizes{301, 211, 482, 338},    // odd source
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

}  // namespace
}  // namespace panelora
