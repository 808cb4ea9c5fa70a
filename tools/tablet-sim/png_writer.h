// Writes an RGB picture as an 8-bit PNG file with libpng's simplified API.
#pragma once

#include <string>

#include "h264_decoder.h"

namespace panelora::tabletsim {

// False with the reason in `error` when the file cannot be written.
bool writePng(const std::string& path, const RgbImage& image, std::string& error);

}  // namespace panelora::tabletsim
