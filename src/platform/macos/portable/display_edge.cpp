#include "platform/macos/portable/display_edge.h"

#include <algorithm>

namespace panelora {

Point keepOnDisplay(Point global, const Rect& bounds, double pixelsPerPoint) {
    if (bounds.isEmpty() || !(pixelsPerPoint > 0)) return global;
    const double pixel = 1.0 / pixelsPerPoint;
    auto axis = [pixel](double value, double first, double size) {
        return std::clamp(value, first, std::max(first, first + size - pixel));
    };
    return Point{axis(global.x, bounds.minX(), bounds.width),
                 axis(global.y, bounds.minY(), bounds.height)};
}

}  // namespace panelora
