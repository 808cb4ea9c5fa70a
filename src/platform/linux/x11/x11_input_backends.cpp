#include "platform/linux/x11/x11_input_backends.h"

#include <X11/extensions/XTest.h>

#include "platform/linux/x11/desktop_scale.h"

namespace panelora {

std::optional<X11InputBackends> createX11InputBackends(const X11InputOptions& options,
                                                       std::string* why) {
    auto pool = X11ConnectionPool::create(options.displayName);
    int scale = options.scale;
    {
        auto lease = pool->acquire();
        if (!lease) {
            if (why) *why = "cannot open X display \"" + options.displayName + "\"";
            return std::nullopt;
        }
        int eventBase, errorBase, major, minor;
        if (!XTestQueryExtension(lease.display(), &eventBase, &errorBase, &major, &minor)) {
            if (why) *why = "the X server has no XTEST extension";
            return std::nullopt;
        }
        if (scale <= 0) scale = desktopScaleFactor(lease.display());
    }
    X11InputBackends backends;
    backends.geometry = X11DisplayGeometry::create(pool, scale, why);
    if (!backends.geometry) return std::nullopt;
    backends.poster = std::make_shared<X11EventPoster>(pool, backends.geometry);
    backends.cursor = std::make_shared<X11CursorSource>(pool, backends.geometry);
    return backends;
}

}  // namespace panelora
