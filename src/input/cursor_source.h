// CursorSource: where the system's mouse cursor is and what it looks like.
//
// One backend per process (XFixes on Linux, CoreGraphics/AppKit on macOS). location() is called on
// the cursor tracker's queue ("panelora.cursor") up to 125 times a second; currentSystemCursor()
// and arrowCursor() are called on the main queue up to 20 times a second, possibly at the same
// time as location(), so a backend must allow that. A PlatformCursor's png() is called on the
// thread that obtained the cursor, at most once per cursor.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "support/geometry.h"

namespace panelora {

struct PlatformCursor {
    using PngEncoder = std::function<std::optional<std::vector<uint8_t>>()>;

    // Image size in points (not pixels); zero or less means the cursor has no image.
    double width = 0;
    double height = 0;
    // The hot spot in points from the image's top-left corner.
    Point hotSpot;
    // Encodes the image as a PNG file at the pixel size of its best representation (twice the
    // point size on a high-density screen). Nothing when the image cannot be encoded. Kept lazy so
    // that the core can refuse oversized cursors (over 512 points) before any encoding happens.
    PngEncoder png;
};

class CursorSource {
  public:
    virtual ~CursorSource() = default;

    // The pointer's position in global points (origin at the main display's top-left corner, y
    // downwards), with sub-point precision where the platform has it. Nothing when it cannot be
    // read.
    virtual std::optional<Point> location() = 0;

    // The cursor the system shows now, whichever application set it. Nothing when there is none.
    virtual std::optional<PlatformCursor> currentSystemCursor() = 0;

    // The system's standard arrow cursor, the fallback when the current one cannot be sent.
    virtual std::optional<PlatformCursor> arrowCursor() = 0;
};

}  // namespace panelora
