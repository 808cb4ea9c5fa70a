// Display identifiers and rectangles in global display coordinates: points, origin at the
// top-left corner of the main display, y growing downwards.
#pragma once

#include <cstdint>

namespace panelora {

// The platform's number for a display (a CGDirectDisplayID on macOS); 0 means none.
using DisplayID = uint32_t;

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool isEmpty() const { return !(width > 0) || !(height > 0); }
    // Half-open, as the platforms test containment: the right and bottom edges are outside.
    bool contains(Point p) const {
        return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace panelora
