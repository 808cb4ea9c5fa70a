#include "png_reader.h"

#include <png.h>

#include <algorithm>
#include <cstring>

namespace panelora::test {
namespace {

template <class Begin>
std::optional<Picture> read(Begin begin, bool alpha) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!begin(&image)) return std::nullopt;
    image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    Picture picture;
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.channels = alpha ? 4 : 3;
    picture.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return picture;
}

}  // namespace

uint32_t Picture::rgbAt(double fx, double fy) const {
    const int x = std::clamp(int(fx * width), 0, width - 1);
    const int y = std::clamp(int(fy * height), 0, height - 1);
    const uint8_t* p = pixels.data() + (size_t(y) * size_t(width) + size_t(x)) * channels;
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

std::optional<Picture> readPng(const std::string& path, bool alpha) {
    return read(
        [&](png_image* image) { return png_image_begin_read_from_file(image, path.c_str()); },
        alpha);
}

std::optional<Picture> decodePng(std::span<const uint8_t> file, bool alpha) {
    return read(
        [&](png_image* image) {
            return png_image_begin_read_from_memory(image, file.data(), file.size());
        },
        alpha);
}

}  // namespace panelora::test
