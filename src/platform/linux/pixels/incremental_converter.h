// IncrementalConverter: keeps NV12 pictures at the encoded size up to date with a BGRA source
// picture (the display, at its own size), converting again only what changed.
//
// The destination is cut into tiles. Each buffer the converter has written is remembered (by its
// serial) with the tiles that changed since it was last brought up to date: a change of the
// source marks its tiles, widened by what the bilinear filter reads around a pixel, in every
// remembered buffer; update() converts a buffer's marked tiles and nothing else. A buffer it
// does not know (new, or forgotten) is converted whole. Scaling goes through libyuv's clipped
// ARGB scaler, which gives any part of the picture exactly as the whole scale would, and the
// 4:2:0 conversion then works on even-aligned tiles: a picture built from partial updates is
// byte for byte the picture converted whole.
//
// Large updates are split by tile rows between the calling thread and one helper thread of the
// converter's own, so that both cores work on a full frame.
//
// One converter per capture stream, called from its capture thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "video/image_buffer.h"

namespace panelora {

class IncrementalConverter {
  public:
    static constexpr int kTileSize = 64;  // destination pixels; even, for the chroma planes

    struct Rect {
        int x = 0, y = 0, width = 0, height = 0;
    };

    // Sizes at least 2 × 2; the destination's even. `threads` 1 or 2.
    IncrementalConverter(int sourceWidth, int sourceHeight, int destinationWidth,
                         int destinationHeight, int threads = 2);
    ~IncrementalConverter();
    IncrementalConverter(const IncrementalConverter&) = delete;
    IncrementalConverter& operator=(const IncrementalConverter&) = delete;

    // The source changed inside `rect` (source pixels; clipped to the source).
    void markChanged(const Rect& rect);
    void markAllChanged();

    // Brings `destination` (destinationWidth × destinationHeight) up to date with `bgra`
    // (sourceWidth × sourceHeight, `stride` bytes a row). Returns the share of the destination's
    // tiles converted, 0 to 1.
    double update(const uint8_t* bgra, int stride, Nv12Buffer& destination);

    int tilesAcross() const { return tilesAcross_; }
    int tilesDown() const { return tilesDown_; }

    struct Worker;

  private:
    struct Tracked;
    Tracked& tracked(const Nv12Buffer& buffer);

    const int sourceWidth_, sourceHeight_;
    const int destinationWidth_, destinationHeight_;
    const int tilesAcross_, tilesDown_;
    std::vector<Tracked> tracked_;
    uint64_t uses_ = 0;
    std::unique_ptr<Worker> self_;    // this thread's scratch
    std::unique_ptr<Worker> helper_;  // the second thread, when there is one
};

}  // namespace panelora
