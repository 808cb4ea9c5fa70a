// Owners of the GLib and GIO handles the GNOME backend holds: each releases its object with the
// call GLib pairs with it.
#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>

namespace panelora::glib {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct MainContextUnref {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct MainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};

using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;
using Cancellable = std::unique_ptr<GCancellable, ObjectUnref>;
using Error = std::unique_ptr<GError, ErrorFree>;
using MainContext = std::unique_ptr<GMainContext, MainContextUnref>;
using MainLoop = std::unique_ptr<GMainLoop, MainLoopUnref>;

// A GVariant reference, shared. A floating value is sunk on taking it.
class Variant {
  public:
    Variant() = default;
    // Takes over one reference (a floating one is sunk first).
    static Variant take(GVariant* value) {
        return Variant(value ? g_variant_take_ref(value) : nullptr);
    }
    // Adds a reference of its own.
    static Variant ref(GVariant* value) {
        return Variant(value ? g_variant_ref_sink(value) : nullptr);
    }
    // From GVariant text ("(uint32 2, [...])"); empty when it does not parse.
    static Variant parse(const char* type, const std::string& text);

    GVariant* get() const { return value_.get(); }
    explicit operator bool() const { return value_ != nullptr; }
    // Child `index` of a tuple or array; empty when there is none.
    Variant child(size_t index) const;
    // The entry `key` of an a{sv} dictionary, unboxed; empty when absent or not of `type`.
    Variant lookup(const char* key, const char* type) const;
    std::string print() const;

  private:
    explicit Variant(GVariant* owned) : value_(owned, VariantUnref{}) {}
    std::shared_ptr<GVariant> value_;
};

// The error's message, "" when there is none.
inline std::string message(const Error& error) {
    return error && error->message ? error->message : "";
}

}  // namespace panelora::glib
