#include "platform/linux/x11/changed_area.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace panelora {

bool ChangedArea::add(const Rect& r) {
    const int x0 = std::max(0, r.x), y0 = std::max(0, r.y);
    const int x1 = std::min(width_, r.x + r.width), y1 = std::min(height_, r.y + r.height);
    if (x1 <= x0 || y1 <= y0) return false;
    if (everything_) return true;
    if (rects_.size() >= kMaxRects) {
        everything_ = true;
        rects_.clear();
        return true;
    }
    rects_.push_back({x0, y0, x1 - x0, y1 - y0});
    return true;
}

std::optional<ChangedArea::Grabbed> ChangedArea::grab(Grabber& grabber) {
    // The changes are let go only once their grab succeeded: a failed grab of either kind (the
    // screen being reconfigured) leaves them for the next attempt.
    int64_t area = 0;
    for (const Rect& r : rects_)
        area += int64_t{r.width} * r.height;
    const int64_t whole = int64_t{width_} * height_;
    if (everything_ || double(area) >= kWholeGrabShare * double(whole)) {
        if (!grabber.grabWhole()) return std::nullopt;
        everything_ = false;
        rects_.clear();
        return Grabbed{true, {}};
    }
    // Full-width bands of the changed rows: one request each, straight into place. After a
    // failure some bands are new in the picture already; they are grabbed again next time.
    std::vector<Rect> byRow = rects_;
    std::sort(byRow.begin(), byRow.end(), [](const Rect& a, const Rect& b) { return a.y < b.y; });
    for (size_t i = 0; i < byRow.size();) {
        const int top = byRow[i].y;
        int bottom = byRow[i].y + byRow[i].height;
        size_t next = i + 1;
        while (next < byRow.size() && byRow[next].y <= bottom + kBandGap) {
            bottom = std::max(bottom, byRow[next].y + byRow[next].height);
            ++next;
        }
        if (!grabber.grabRows(top, bottom - top)) return std::nullopt;
        i = next;
    }
    return Grabbed{false, std::exchange(rects_, {})};
}

}  // namespace panelora
