#include "platform/linux/x11/x11_cursor_source.h"

#include <X11/Xcursor/Xcursor.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <array>
#include <string_view>

#include "platform/linux/pixels/cursor_png.h"

namespace panelora {
namespace {

struct XFreeDeleter {
    void operator()(void* p) const { XFree(p); }
};
struct XcursorImageDeleter {
    void operator()(XcursorImage* p) const { XcursorImageDestroy(p); }
};

// Cursors larger than this (pixels a side) are not taken from the server; the core refuses
// anything over 512 points anyway.
constexpr int kMaxCursorSide = 1024;

}  // namespace

X11CursorSource::X11CursorSource(std::shared_ptr<X11ConnectionPool> pool,
                                 std::shared_ptr<const X11DisplayGeometry> geometry)
    : pool_(std::move(pool)), geometry_(std::move(geometry)) {}

std::optional<Point> X11CursorSource::location() {
    auto lease = pool_->acquire();
    if (!lease || lease->broken()) return std::nullopt;
    Display* d = lease.display();
    Window rootReturn, child;
    int rootX, rootY, windowX, windowY;
    unsigned int mask;
    if (!XQueryPointer(d, DefaultRootWindow(d), &rootReturn, &child, &rootX, &rootY, &windowX,
                       &windowY, &mask)) {
        return std::nullopt;  // the pointer is on another screen of the server
    }
    if (lease->broken()) return std::nullopt;
    return geometry_->toGlobal(rootX, rootY);
}

std::optional<PlatformCursor> X11CursorSource::currentSystemCursor() {
    Image image;
    {
        auto lease = pool_->acquire();
        if (!lease || lease->broken()) return std::nullopt;
        int eventBase, errorBase;
        if (!XFixesQueryExtension(lease.display(), &eventBase, &errorBase)) return std::nullopt;
        std::unique_ptr<XFixesCursorImage, XFreeDeleter> cursor(
            XFixesGetCursorImage(lease.display()));
        if (!cursor || cursor->width == 0 || cursor->height == 0 ||
            cursor->width > kMaxCursorSide || cursor->height > kMaxCursorSide) {
            return std::nullopt;
        }
        image.width = cursor->width;
        image.height = cursor->height;
        image.hotX = cursor->xhot;
        image.hotY = cursor->yhot;
        // One pixel per unsigned long, which is 64 bits wide on 64-bit builds: the ARGB value sits
        // in the low 32 bits.
        const size_t count = static_cast<size_t>(image.width) * image.height;
        image.pixels.resize(count);
        for (size_t i = 0; i < count; ++i) {
            image.pixels[i] = static_cast<uint32_t>(cursor->pixels[i] & 0xFFFFFFFFul);
        }
    }
    return makeCursor(std::move(image), geometry_->scale());
}

std::optional<PlatformCursor> X11CursorSource::arrowCursor() {
    {
        std::lock_guard lock(mutex_);
        if (arrow_) return makeCursor(*arrow_, geometry_->scale());
    }
    Image image = cursorpng::builtInArrow();
    if (auto lease = pool_->acquire(); lease && !lease->broken()) {
        Display* d = lease.display();
        const char* theme = XcursorGetTheme(d);
        int size = XcursorGetDefaultSize(d);
        std::unique_ptr<XcursorImage, XcursorImageDeleter> themed(
            XcursorLibraryLoadImage("left_ptr", theme, size));
        if (themed && themed->width > 0 && themed->height > 0 &&
            themed->width <= static_cast<unsigned>(kMaxCursorSide) &&
            themed->height <= static_cast<unsigned>(kMaxCursorSide)) {
            image.width = static_cast<int>(themed->width);
            image.height = static_cast<int>(themed->height);
            image.hotX = static_cast<int>(themed->xhot);
            image.hotY = static_cast<int>(themed->yhot);
            image.pixels.assign(themed->pixels,
                                themed->pixels + static_cast<size_t>(image.width) * image.height);
        }
    }
    {
        std::lock_guard lock(mutex_);
        arrow_ = image;
    }
    return makeCursor(std::move(image), geometry_->scale());
}

PlatformCursor X11CursorSource::makeCursor(Image image, int scale) {
    const double s = scale > 0 ? scale : 1;
    PlatformCursor cursor;
    cursor.width = image.width / s;
    cursor.height = image.height / s;
    cursor.hotSpot = Point{image.hotX / s, image.hotY / s};
    auto shared = std::make_shared<const Image>(std::move(image));
    cursor.png = [shared] {
        return cursorpng::encode(shared->pixels, shared->width, shared->height);
    };
    return cursor;
}

}  // namespace panelora
