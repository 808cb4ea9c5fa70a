#include "platform/linux/pipewire/picture_diff.h"

#include <algorithm>
#include <cstring>

namespace panelora {

std::vector<Rect> changedTiles(const uint8_t* a, int strideA, const uint8_t* b, int strideB,
                               int width, int height, int tile) {
    std::vector<Rect> changed;
    if (width < 1 || height < 1 || tile < 1) return changed;
    const int across = (width + tile - 1) / tile;
    std::vector<bool> differs(static_cast<size_t>(across));
    for (int top = 0; top < height; top += tile) {
        const int rows = std::min(tile, height - top);
        std::fill(differs.begin(), differs.end(), false);
        int undecided = across;
        // Row by row through the band, so the memory is read in order; a tile known to differ
        // is not compared again.
        for (int y = top; y < top + rows && undecided > 0; ++y) {
            const uint8_t* rowA = a + static_cast<size_t>(y) * strideA;
            const uint8_t* rowB = b + static_cast<size_t>(y) * strideB;
            for (int t = 0; t < across; ++t) {
                if (differs[t]) continue;
                const size_t left = static_cast<size_t>(t) * tile * 4;
                const size_t bytes = static_cast<size_t>(std::min(tile, width - t * tile)) * 4;
                if (std::memcmp(rowA + left, rowB + left, bytes) != 0) {
                    differs[t] = true;
                    --undecided;
                }
            }
        }
        for (int t = 0; t < across;) {
            if (!differs[t]) {
                ++t;
                continue;
            }
            const int first = t;
            while (t < across && differs[t])
                ++t;
            const int right = std::min(width, t * tile);
            changed.push_back(Rect{double(first * tile), double(top), double(right - first * tile),
                                   double(rows)});
        }
    }
    return changed;
}

}  // namespace panelora
