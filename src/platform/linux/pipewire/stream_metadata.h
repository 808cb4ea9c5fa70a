// What mutter attaches to a screen-cast buffer, read into plain values: the cursor
// (spa_meta_cursor with its bitmap) and the damaged regions. Everything is checked against the
// metadata's size first; malformed metadata reads as none, never out of bounds.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/linux/pipewire/pipewire_stream.h"

namespace panelora {

inline constexpr int kMaxCursorBitmapSide = 1024;

// A spa_meta_cursor of `size` bytes. Mutter writes one into every buffer, with id 0 while the
// pointer is off the monitor; a bitmap comes only when the pointer's image changed (RGBA or BGRA,
// premultiplied; zero size or no pixels: no visible pointer).
StreamCursor readCursorMeta(const void* data, size_t size);

// An array of spa_meta_region of `size` bytes, up to the first invalid (empty) entry.
std::vector<Rect> readDamageMeta(const void* data, size_t size);

}  // namespace panelora
