// The cursor on macOS: its location from a CoreGraphics event (global points, top-left origin),
// its image and hot spot from AppKit's NSCursor, encoded as PNG through a bitmap representation at
// the pixel size of the image's best representation, and encoded again only when the pixels
// differ from the last encoded (the core asks up to 20 times a second).
//
// location() from any thread; the cursor calls and their png() on the main thread only (AppKit).
// +[NSCursor currentSystemCursor] is deprecated and documented to return nil in a future macOS;
// where it does, the arrow is given in its place (the tablet would otherwise never get a cursor
// image), and that is logged once.
#pragma once

#include <atomic>
#include <memory>

#include "input/cursor_source.h"
#include "platform/macos/portable/cursor_png_cache.h"

namespace panelora {

class NSCursorSource final : public CursorSource {
  public:
    std::optional<Point> location() override;
    std::optional<PlatformCursor> currentSystemCursor() override;
    std::optional<PlatformCursor> arrowCursor() override;

  private:
    std::atomic<bool> toldNoSystemCursor_{false};
    // Shared with the cursors handed out, whose png() may run after this source is gone.
    const std::shared_ptr<cursor::PngCache> pngCache_ = std::make_shared<cursor::PngCache>();
};

}  // namespace panelora
