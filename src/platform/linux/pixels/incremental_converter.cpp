#include "platform/linux/pixels/incremental_converter.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <future>

#include "support/serial_queue.h"

namespace panelora {
namespace {

// Buffers remembered at once; the capture's pool holds fewer.
constexpr size_t kMaxTracked = 12;
// Below this share of the picture one thread converts alone: handing work over costs more.
constexpr double kSplitShare = 0.25;

int tilesFor(int pixels) {
    return (pixels + IncrementalConverter::kTileSize - 1) / IncrementalConverter::kTileSize;
}

}  // namespace

struct IncrementalConverter::Tracked {
    uint64_t serial = 0;
    uint64_t lastUse = 0;
    std::vector<uint8_t> stale;  // one flag per tile, row by row
};

// The pixel work of one thread: a band of scaled BGRA rows as scratch.
struct IncrementalConverter::Worker {
    std::vector<uint8_t> scratch;
    std::shared_ptr<SerialQueue> queue;  // the helper's own thread; empty for the caller's

    // Converts the destination rectangle (even-aligned, inside the destination).
    void convert(const IncrementalConverter& c, const uint8_t* bgra, int stride,
                 Nv12Buffer& destination, const Rect& r) {
        uint8_t* y = destination.mutablePlaneData(0);
        uint8_t* uv = destination.mutablePlaneData(1);
        const int yStride = destination.planeStride(0);
        const int uvStride = destination.planeStride(1);
        auto lumaAt = [&](int row) { return y + static_cast<size_t>(row) * yStride + r.x; };
        auto chromaAt = [&](int row) { return uv + static_cast<size_t>(row / 2) * uvStride + r.x; };
        if (c.sourceWidth_ == c.destinationWidth_ && c.sourceHeight_ == c.destinationHeight_) {
            const uint8_t* from = bgra + static_cast<size_t>(r.y) * stride + r.x * 4;
            libyuv::ARGBToNV12(from, stride, lumaAt(r.y), yStride, chromaAt(r.y), uvStride, r.width,
                               r.height);
            return;
        }
        // Scaled a band at a time through the scratch. The clipped scaler writes the clip of a
        // destination-sized picture; its base is placed so that the clip lands on the scratch
        // (integer arithmetic: the base itself lies outside the scratch and is never touched).
        const int bandStride = r.width * 4;
        for (int top = r.y; top < r.y + r.height; top += kTileSize) {
            const int rows = std::min(kTileSize, r.y + r.height - top);
            scratch.resize(static_cast<size_t>(bandStride) * kTileSize);
            const auto base = reinterpret_cast<uintptr_t>(scratch.data()) -
                              static_cast<uintptr_t>(top) * bandStride -
                              static_cast<uintptr_t>(r.x) * 4;
            libyuv::ARGBScaleClip(bgra, stride, c.sourceWidth_, c.sourceHeight_,
                                  reinterpret_cast<uint8_t*>(base), bandStride, c.destinationWidth_,
                                  c.destinationHeight_, r.x, top, r.width, rows,
                                  libyuv::kFilterBilinear);
            libyuv::ARGBToNV12(scratch.data(), bandStride, lumaAt(top), yStride, chromaAt(top),
                               uvStride, r.width, rows);
        }
    }

    void convertAll(const IncrementalConverter& c, const uint8_t* bgra, int stride,
                    Nv12Buffer& destination, const std::vector<Rect>& rects) {
        for (const Rect& r : rects)
            convert(c, bgra, stride, destination, r);
    }
};

IncrementalConverter::IncrementalConverter(int sourceWidth, int sourceHeight, int destinationWidth,
                                           int destinationHeight, int threads)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      destinationWidth_(destinationWidth),
      destinationHeight_(destinationHeight),
      tilesAcross_(tilesFor(destinationWidth)),
      tilesDown_(tilesFor(destinationHeight)),
      self_(std::make_unique<Worker>()) {
    if (threads > 1) {
        helper_ = std::make_unique<Worker>();
        helper_->queue =
            SerialQueue::create("panelora.capture.convert", QueuePriority::userInteractive);
    }
}

IncrementalConverter::~IncrementalConverter() = default;

void IncrementalConverter::markChanged(const Rect& rect) {
    const int x0 = std::max(0, rect.x), y0 = std::max(0, rect.y);
    const int x1 = std::min(sourceWidth_, rect.x + rect.width);
    const int y1 = std::min(sourceHeight_, rect.y + rect.height);
    if (x0 >= x1 || y0 >= y1) return;
    // A destination pixel blends the source pixels around its centre: widen by the filter's
    // reach (one source pixel each way) in destination pixels, and one more for rounding.
    const double sx = double(destinationWidth_) / sourceWidth_;
    const double sy = double(destinationHeight_) / sourceHeight_;
    const int dx0 = std::max(0, int(std::floor((x0 - 1) * sx)) - 1);
    const int dy0 = std::max(0, int(std::floor((y0 - 1) * sy)) - 1);
    const int dx1 = std::min(destinationWidth_, int(std::ceil((x1 + 1) * sx)) + 1);
    const int dy1 = std::min(destinationHeight_, int(std::ceil((y1 + 1) * sy)) + 1);
    const int tx0 = dx0 / kTileSize, tx1 = (dx1 - 1) / kTileSize;
    const int ty0 = dy0 / kTileSize, ty1 = (dy1 - 1) / kTileSize;
    for (Tracked& t : tracked_) {
        for (int ty = ty0; ty <= ty1; ++ty)
            std::fill_n(t.stale.begin() + ty * tilesAcross_ + tx0, tx1 - tx0 + 1, uint8_t{1});
    }
}

void IncrementalConverter::markAllChanged() {
    for (Tracked& t : tracked_)
        std::fill(t.stale.begin(), t.stale.end(), uint8_t{1});
}

IncrementalConverter::Tracked& IncrementalConverter::tracked(const Nv12Buffer& buffer) {
    ++uses_;
    for (Tracked& t : tracked_) {
        if (t.serial == buffer.serial()) {
            t.lastUse = uses_;
            return t;
        }
    }
    // Unknown: everything is stale. The least recently used makes room.
    if (tracked_.size() >= kMaxTracked) {
        auto oldest = std::min_element(
            tracked_.begin(), tracked_.end(),
            [](const Tracked& a, const Tracked& b) { return a.lastUse < b.lastUse; });
        tracked_.erase(oldest);
    }
    Tracked& t = tracked_.emplace_back();
    t.serial = buffer.serial();
    t.lastUse = uses_;
    t.stale.assign(static_cast<size_t>(tilesAcross_) * tilesDown_, 1);
    return t;
}

double IncrementalConverter::update(const uint8_t* bgra, int stride, Nv12Buffer& destination) {
    Tracked& t = tracked(destination);
    // Runs of stale tiles per tile row, joined with the same run of the row above into one
    // rectangle, so that a changed area costs few calls.
    std::vector<Rect> rects;
    std::vector<size_t> openAbove;  // rects ending at the previous tile row, by start column
    size_t staleTiles = 0;
    for (int ty = 0; ty < tilesDown_; ++ty) {
        std::vector<size_t> openHere;
        const uint8_t* row = t.stale.data() + static_cast<size_t>(ty) * tilesAcross_;
        for (int tx = 0; tx < tilesAcross_;) {
            if (!row[tx]) {
                ++tx;
                continue;
            }
            int end = tx;
            while (end < tilesAcross_ && row[end])
                ++end;
            staleTiles += end - tx;
            const int x = tx * kTileSize;
            const int width = std::min(destinationWidth_, end * kTileSize) - x;
            const int y = ty * kTileSize;
            const int height = std::min(destinationHeight_, y + kTileSize) - y;
            auto above = std::find_if(openAbove.begin(), openAbove.end(), [&](size_t i) {
                return rects[i].x == x && rects[i].width == width;
            });
            if (above != openAbove.end()) {
                rects[*above].height += height;
                openHere.push_back(*above);
            } else {
                rects.push_back(Rect{x, y, width, height});
                openHere.push_back(rects.size() - 1);
            }
            tx = end;
        }
        openAbove = std::move(openHere);
    }
    std::fill(t.stale.begin(), t.stale.end(), uint8_t{0});
    const double share = double(staleTiles) / double(t.stale.size());
    if (rects.empty()) return 0;

    if (!helper_ || share < kSplitShare) {
        self_->convertAll(*this, bgra, stride, destination, rects);
        return share;
    }
    // Split at tile rows: the upper half of the stale rows here, the rest on the helper.
    std::vector<Rect> mine, theirs;
    int staleRows = 0;
    for (const Rect& r : rects)
        staleRows += r.height;
    int given = 0;
    for (const Rect& r : rects) {
        if (given >= staleRows / 2) {
            theirs.push_back(r);
            continue;
        }
        const int take =
            std::min(r.height, ((staleRows / 2 - given + kTileSize - 1) / kTileSize) * kTileSize);
        mine.push_back(Rect{r.x, r.y, r.width, take});
        if (take < r.height) theirs.push_back(Rect{r.x, r.y + take, r.width, r.height - take});
        given += take;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    Worker* helper = helper_.get();
    helper->queue->post([this, helper, bgra, stride, &destination, &theirs, &done] {
        helper->convertAll(*this, bgra, stride, destination, theirs);
        done.set_value();
    });
    self_->convertAll(*this, bgra, stride, destination, mine);
    finished.wait();
    return share;
}

}  // namespace panelora
