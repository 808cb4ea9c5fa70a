// ChangedArea: what of one display changed since its picture was last grabbed, and the grab that
// brings the kept picture up to date: the whole display when half of it or more changed (or too
// many rectangles piled up), else one full-width band per group of nearby changed rows.
//
// Owned by one capture stream and used on its capture thread only.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "platform/linux/pixels/incremental_converter.h"

namespace panelora {

class ChangedArea {
  public:
    using Rect = IncrementalConverter::Rect;

    // The grabs into the kept picture; each false when it failed.
    class Grabber {
      public:
        virtual ~Grabber() = default;
        virtual bool grabWhole() = 0;
        // Full rows `firstRow` … `firstRow + rows - 1` of the display.
        virtual bool grabRows(int firstRow, int rows) = 0;
    };

    // What a grab brought up to date, for the converter.
    struct Grabbed {
        bool whole = false;
        std::vector<Rect> rects;  // when not whole
    };

    // Changed rectangles kept before they are taken as "everything changed".
    static constexpr size_t kMaxRects = 64;
    // From this share of the display changed on, the whole display is grabbed at once.
    static constexpr double kWholeGrabShare = 0.5;
    // Bands of changed rows closer than this are grabbed as one.
    static constexpr int kBandGap = 16;

    // A display of that size (display pixels), all of it changed.
    ChangedArea(int width, int height) : width_(width), height_(height) {}

    // `r` in display pixels; false when none of it is on the display (no change of ours).
    bool add(const Rect& r);
    bool empty() const { return !everything_ && rects_.empty(); }

    // Grabs what changed. On success the area is empty and the result says what was grabbed;
    // on failure nothing, with every change kept for the next attempt (the picture may be
    // partly updated, and the changed rows are grabbed again then).
    std::optional<Grabbed> grab(Grabber& grabber);

  private:
    int width_, height_;
    bool everything_ = true;
    std::vector<Rect> rects_;
};

}  // namespace panelora
