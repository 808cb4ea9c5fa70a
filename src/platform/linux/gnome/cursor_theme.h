// The pointer mutter shows before any application set one: the arrow of the desktop's cursor
// theme (org.gnome.desktop.interface cursor-theme and cursor-size, else $XCURSOR_THEME and
// $XCURSOR_SIZE, else Adwaita at 24), or a built-in arrow when the theme has none. Mutter only
// sends a cursor image when the cursor changes, so this stands in until it does.
#pragma once

#include <memory>

#include "platform/linux/pipewire/pipewire_stream.h"

namespace panelora::gnome {

// The arrow as mutter draws it on a monitor of integer-rounded `scale`, in premultiplied ARGB.
// Loaded once per scale; thread-safe.
std::shared_ptr<const CursorBitmap> themeArrow(double scale);

}  // namespace panelora::gnome
