// A touch at the far edge of the virtual display (x or y = 1.0) maps to the display's right or
// bottom edge, which CoreGraphics counts as the neighbouring display's: the pointer would jump
// there. The point is kept on the display's last pixel column or row instead.
#pragma once

#include "support/geometry.h"

namespace panelora {

// `global` clamped into `bounds`, at most to the start of its last pixel (1 / pixelsPerPoint
// before the right and bottom edges). Unchanged when the bounds are empty or the scale is not
// positive.
Point keepOnDisplay(Point global, const Rect& bounds, double pixelsPerPoint);

}  // namespace panelora
