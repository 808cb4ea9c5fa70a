#include "platform/linux/x11/desktop_scale.h"

#include <X11/Xresource.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace panelora {

int desktopScaleFactor(Display* display) {
    if (const char* gdk = std::getenv("GDK_SCALE")) {
        char* end = nullptr;
        long value = std::strtol(gdk, &end, 10);
        if (end != gdk && *end == '\0' && value >= 1 && value <= 8) return static_cast<int>(value);
    }
    const char* resources = display ? XResourceManagerString(display) : nullptr;
    if (!resources) return 1;
    std::string_view text(resources);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string_view line = text.substr(at, end == std::string_view::npos ? end : end - at);
        at = end == std::string_view::npos ? text.size() : end + 1;
        if (!line.starts_with("Xft.dpi:")) continue;
        std::string value(line.substr(8));
        char* stop = nullptr;
        double dpi = std::strtod(value.c_str(), &stop);
        if (stop == value.c_str() || !(dpi >= 96.0) || dpi > 96.0 * 8) return 1;
        return static_cast<int>(std::floor(dpi / 96.0));
    }
    return 1;
}

}  // namespace panelora
