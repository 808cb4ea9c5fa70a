// Where two pictures of the same size differ, tile by tile: the damage of a compositor buffer
// that came without any (mutter before 45 sends none, and repaints the whole monitor for a
// change elsewhere on the desktop).
#pragma once

#include <cstdint>
#include <vector>

#include "support/geometry.h"

namespace panelora {

// The tiles (`tile` × `tile` pixels, clipped at the edges) whose 32-bit pixels differ between
// `a` and `b`, row by row, neighbours in a row joined into one rectangle. Empty: identical.
std::vector<Rect> changedTiles(const uint8_t* a, int strideA, const uint8_t* b, int strideB,
                               int width, int height, int tile = 64);

}  // namespace panelora
