// Reads a PNG into 8-bit RGB for colour checks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace panelora::e2e {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // width × height × 3

    // The pixel at fractions (fx, fy) of the width and height.
    uint32_t at(double fx, double fy) const;
};

std::optional<RgbImage> readPng(const std::string& path, std::string* error);

}  // namespace panelora::e2e
