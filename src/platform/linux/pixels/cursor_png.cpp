#include "platform/linux/pixels/cursor_png.h"

#include <png.h>

#include <array>
#include <csetjmp>
#include <memory>
#include <string_view>

namespace panelora::cursorpng {
namespace {

// The classic arrow: B black outline, W white fill, '.' transparent; tip at (0, 0).
constexpr std::array<std::string_view, 19> kArrow = {
    "B...........",  //
    "BB..........",  //
    "BWB.........",  //
    "BWWB........",  //
    "BWWWB.......",  //
    "BWWWWB......",  //
    "BWWWWWB.....",  //
    "BWWWWWWB....",  //
    "BWWWWWWWB...",  //
    "BWWWWWWWWB..",  //
    "BWWWWWWWWWB.",  //
    "BWWWWWWWWWWB",  //
    "BWWWWWWBBBBB",  //
    "BWWWBWWB....",  //
    "BWWBBWWB....",  //
    "BWB..BWWB...",  //
    "BB...BWWB...",  //
    "B.....BWWB..",  //
    "......BBB...",  //
};

}  // namespace

Image builtInArrow() {
    Image image;
    image.width = static_cast<int>(kArrow[0].size());
    image.height = static_cast<int>(kArrow.size());
    image.pixels.reserve(static_cast<size_t>(image.width) * image.height);
    for (std::string_view row : kArrow) {
        for (char c : row) {
            image.pixels.push_back(c == 'B' ? 0xFF000000u : c == 'W' ? 0xFFFFFFFFu : 0u);
        }
    }
    return image;
}

std::array<uint8_t, 4> straightRGBA(uint32_t argb) {
    const unsigned a = (argb >> 24) & 0xFF;
    if (a == 0) return {0, 0, 0, 0};
    auto channel = [a](unsigned c) {
        unsigned v = (c * 255 + a / 2) / a;
        return static_cast<uint8_t>(v > 255 ? 255 : v);
    };
    return {channel((argb >> 16) & 0xFF), channel((argb >> 8) & 0xFF), channel(argb & 0xFF),
            static_cast<uint8_t>(a)};
}

namespace {

struct WriteState {
    std::vector<uint8_t>* out;
};

void writeBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
    state->out->insert(state->out->end(), data, data + length);
}

void flushNothing(png_structp) {}

// Owns the libpng write structures.
struct Writer {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~Writer() { png_destroy_write_struct(&png, info ? &info : nullptr); }
};

}  // namespace

std::optional<std::vector<uint8_t>> encode(const std::vector<uint32_t>& pixels, int width,
                                           int height) {
    constexpr int kMaxSide = 4096;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return std::nullopt;
    if (pixels.size() < static_cast<size_t>(width) * static_cast<size_t>(height)) {
        return std::nullopt;
    }

    // Converted before libpng starts, so nothing with a destructor lives across its longjmp.
    std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
        auto p = straightRGBA(pixels[i]);
        std::copy(p.begin(), p.end(), rgba.begin() + static_cast<ptrdiff_t>(i * 4));
    }
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y)
        rows[y] = rgba.data() + static_cast<size_t>(y) * width * 4;

    std::vector<uint8_t> out;
    WriteState state{&out};
    Writer writer;
    writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!writer.png) return std::nullopt;
    writer.info = png_create_info_struct(writer.png);
    if (!writer.info) return std::nullopt;
    if (setjmp(png_jmpbuf(writer.png))) return std::nullopt;
    png_set_write_fn(writer.png, &state, writeBytes, flushNothing);
    png_set_IHDR(writer.png, writer.info, static_cast<png_uint_32>(width),
                 static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(writer.png, writer.info, rows.data());
    png_write_png(writer.png, writer.info, PNG_TRANSFORM_IDENTITY, nullptr);
    return out;
}

}  // namespace panelora::cursorpng
