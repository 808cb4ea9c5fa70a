#include "png_writer.h"

#include <png.h>

#include <cstring>

namespace panelora::tabletsim {

namespace {

// Owns the simplified API's state; png_image_free releases it on every path.
struct PngImage {
    png_image image;
    PngImage() {
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
    }
    ~PngImage() { png_image_free(&image); }
    PngImage(const PngImage&) = delete;
    PngImage& operator=(const PngImage&) = delete;
};

}  // namespace

bool writePng(const std::string& path, const RgbImage& image, std::string& error) {
    if (image.width <= 0 || image.height <= 0 ||
        image.rgb.size() != size_t(image.width) * image.height * 3) {
        error = "no picture to save";
        return false;
    }
    PngImage png;
    png.image.width = static_cast<png_uint_32>(image.width);
    png.image.height = static_cast<png_uint_32>(image.height);
    png.image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&png.image, path.c_str(), 0, image.rgb.data(), image.width * 3,
                                 nullptr)) {
        error = png.image.message;
        return false;
    }
    return true;
}

}  // namespace panelora::tabletsim
