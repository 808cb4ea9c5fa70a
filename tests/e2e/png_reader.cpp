#include "png_reader.h"

#include <png.h>

#include <algorithm>
#include <cstring>

namespace panelora::e2e {

uint32_t RgbImage::at(double fx, double fy) const {
    const int x = std::clamp(int(fx * width), 0, width - 1);
    const int y = std::clamp(int(fy * height), 0, height - 1);
    const uint8_t* p = rgb.data() + (size_t(y) * size_t(width) + size_t(x)) * 3;
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

std::optional<RgbImage> readPng(const std::string& path, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        if (error) *error = path + ": " + image.message;
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGB;
    RgbImage out;
    out.width = int(image.width);
    out.height = int(image.height);
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        if (error) *error = path + ": " + image.message;
        png_image_free(&image);
        return std::nullopt;
    }
    return out;
}

}  // namespace panelora::e2e
