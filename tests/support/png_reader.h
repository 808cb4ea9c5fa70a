// PNG files read back with libpng's simplified API, for checks of what a program wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace panelora::test {

struct Picture {
    int width = 0;
    int height = 0;
    int channels = 3;             // RGB or, when read with alpha, RGBA
    std::vector<uint8_t> pixels;  // width × height × channels

    // The RGB colour (0xRRGGBB) at fractions (fx, fy) of the width and height.
    uint32_t rgbAt(double fx, double fy) const;
};

std::optional<Picture> readPng(const std::string& path, bool alpha = false);
std::optional<Picture> decodePng(std::span<const uint8_t> file, bool alpha = false);

}  // namespace panelora::test
