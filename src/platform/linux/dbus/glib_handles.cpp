#include "platform/linux/dbus/glib_handles.h"

namespace panelora::glib {

Variant Variant::parse(const char* type, const std::string& text) {
    GError* error = nullptr;
    GVariant* value = g_variant_parse(type ? G_VARIANT_TYPE(type) : nullptr, text.c_str(), nullptr,
                                      nullptr, &error);
    if (error) g_error_free(error);
    return take(value);
}

Variant Variant::child(size_t index) const {
    if (!value_ || !g_variant_is_container(value_.get()) ||
        index >= g_variant_n_children(value_.get())) {
        return {};
    }
    return take(g_variant_get_child_value(value_.get(), index));
}

Variant Variant::lookup(const char* key, const char* type) const {
    if (!value_ || !g_variant_is_of_type(value_.get(), G_VARIANT_TYPE_VARDICT)) return {};
    return take(g_variant_lookup_value(value_.get(), key, G_VARIANT_TYPE(type)));
}

std::string Variant::print() const {
    if (!value_) return "";
    gchar* text = g_variant_print(value_.get(), TRUE);
    std::string result = text ? text : "";
    g_free(text);
    return result;
}

}  // namespace panelora::glib
