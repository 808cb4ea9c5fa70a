#include "platform/linux/gnome/cursor_theme.h"

#include <X11/Xcursor/Xcursor.h>
#include <gio/gio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "platform/linux/pixels/cursor_png.h"

namespace panelora::gnome {
namespace {

struct Theme {
    std::string name = "Adwaita";
    int size = 24;
};

// The desktop's choice; GSettings only when the schema is installed (looking up a missing one
// would abort the process).
Theme desktopTheme() {
    Theme theme;
    if (const char* name = std::getenv("XCURSOR_THEME"); name && *name) theme.name = name;
    if (const char* size = std::getenv("XCURSOR_SIZE")) {
        int value = std::atoi(size);
        if (value > 0 && value <= 256) theme.size = value;
    }
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE)
               : nullptr;
    if (!schema) return theme;
    GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
    if (g_settings_schema_has_key(schema, "cursor-theme")) {
        gchar* name = g_settings_get_string(settings, "cursor-theme");
        if (name && *name) theme.name = name;
        g_free(name);
    }
    if (g_settings_schema_has_key(schema, "cursor-size")) {
        int size = g_settings_get_int(settings, "cursor-size");
        if (size > 0 && size <= 256) theme.size = size;
    }
    g_object_unref(settings);
    g_settings_schema_unref(schema);
    return theme;
}

std::shared_ptr<const CursorBitmap> load(int scale) {
    static const Theme theme = desktopTheme();
    auto bitmap = std::make_shared<CursorBitmap>();
    for (const char* name : {"default", "left_ptr"}) {
        XcursorImage* image = XcursorLibraryLoadImage(name, theme.name.c_str(), theme.size * scale);
        if (!image) continue;
        if (image->width > 0 && image->height > 0 && image->width <= 1024 &&
            image->height <= 1024) {
            bitmap->width = static_cast<int>(image->width);
            bitmap->height = static_cast<int>(image->height);
            bitmap->hotX = static_cast<int>(image->xhot);
            bitmap->hotY = static_cast<int>(image->yhot);
            bitmap->pixels.assign(image->pixels, image->pixels + image->width * image->height);
        }
        XcursorImageDestroy(image);
        if (!bitmap->pixels.empty()) return bitmap;
    }
    // The built-in arrow, each pixel repeated `scale` times each way.
    auto arrow = cursorpng::builtInArrow();
    bitmap->width = arrow.width * scale;
    bitmap->height = arrow.height * scale;
    bitmap->hotX = arrow.hotX * scale;
    bitmap->hotY = arrow.hotY * scale;
    bitmap->pixels.resize(static_cast<size_t>(bitmap->width) * bitmap->height);
    for (int y = 0; y < bitmap->height; ++y) {
        for (int x = 0; x < bitmap->width; ++x) {
            bitmap->pixels[static_cast<size_t>(y) * bitmap->width + x] =
                arrow.pixels[static_cast<size_t>(y / scale) * arrow.width + x / scale];
        }
    }
    return bitmap;
}

}  // namespace

std::shared_ptr<const CursorBitmap> themeArrow(double scale) {
    const int whole = std::clamp(static_cast<int>(std::lround(scale)), 1, 4);
    static std::mutex mutex;
    static std::map<int, std::shared_ptr<const CursorBitmap>> loaded;  // guarded by mutex
    {
        std::lock_guard lock(mutex);
        if (auto found = loaded.find(whole); found != loaded.end()) return found->second;
    }
    auto bitmap = load(whole);
    std::lock_guard lock(mutex);
    return loaded.try_emplace(whole, std::move(bitmap)).first->second;
}

}  // namespace panelora::gnome
