#include "platform/linux/shell/idle_inhibitor.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <gio/gio.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>

#include "platform/linux/xlib/x11_connection.h"
#include "support/app_info.h"
#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("app");
}

constexpr int kCallTimeoutMs = 2000;
// org.gnome.SessionManager.Inhibit flag: the session must not be marked idle.
constexpr uint32_t kInhibitIdle = 8;

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;

// The session bus, or nothing. GLib would otherwise try to start a bus of its own (autolaunch)
// when the environment names none.
Connection sessionBus() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    if ((!address || !*address) &&
        !(runtime && std::filesystem::exists(std::filesystem::path(runtime) / "bus", ignored))) {
        return nullptr;
    }
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) g_error_free(error);
    return Connection(bus);
}

// One method call; the uint32 it answers, or nothing.
std::optional<uint32_t> callForCookie(GDBusConnection* bus, const char* service, const char* path,
                                      const char* interface, const char* method,
                                      GVariant* parameters) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, service, path, interface, method, parameters,
                                                  G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
                                                  kCallTimeoutMs, nullptr, &error);
    if (!reply) {
        g_error_free(error);
        return std::nullopt;
    }
    uint32_t cookie = 0;
    g_variant_get(reply, "(u)", &cookie);
    g_variant_unref(reply);
    return cookie;
}

void callAndForget(GDBusConnection* bus, const char* service, const char* path,
                   const char* interface, const char* method, uint32_t cookie) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, service, path, interface, method, g_variant_new("(u)", cookie), nullptr,
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
    if (reply) g_variant_unref(reply);
    if (error) g_error_free(error);
}

// Ends its inhibition when destroyed.
struct Inhibition {
    std::function<void()> end;
    ~Inhibition() {
        if (end) end();
    }
};

// A desktop service whose name is also its interface's.
struct InhibitService {
    const char* name;
    const char* path;
    const char* release;  // the method that takes the cookie back
};
constexpr InhibitService kScreenSaver{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                      "UnInhibit"};
constexpr InhibitService kSessionManager{"org.gnome.SessionManager", "/org/gnome/SessionManager",
                                         "Uninhibit"};

// The inhibition `service` grants for `arguments`, given back when the last holder lets go;
// nothing when the service does not answer with a cookie.
std::shared_ptr<void> inhibit(Connection& bus, const InhibitService& service, GVariant* arguments) {
    auto cookie =
        callForCookie(bus.get(), service.name, service.path, service.name, "Inhibit", arguments);
    if (!cookie) return nullptr;
    auto inhibition = std::make_shared<Inhibition>();
    inhibition->end = [bus = std::shared_ptr<GDBusConnection>(bus.release(), ObjectUnref{}),
                       &service, cookie = *cookie] {
        callAndForget(bus.get(), service.name, service.path, service.name, service.release, cookie);
    };
    return inhibition;
}

std::shared_ptr<void> overBus(const char* reason) {
    Connection bus = sessionBus();
    if (!bus) return nullptr;
    if (auto held = inhibit(bus, kScreenSaver,
                            g_variant_new("(ss)", IdleInhibitor::applicationName, reason))) {
        return held;
    }
    return inhibit(bus, kSessionManager,
                   g_variant_new("(susu)", kAppIdentifier, 0u, reason, kInhibitIdle));
}

std::shared_ptr<void> overX11(const std::string& displayName) {
    auto connection = X11Connection::open(displayName);
    if (!connection) return nullptr;
    int event = 0, error = 0;
    if (!XScreenSaverQueryExtension(connection->display(), &event, &error)) return nullptr;
    XScreenSaverSuspend(connection->display(), True);
    if (!connection->sync()) return nullptr;
    auto inhibition = std::make_shared<Inhibition>();
    inhibition->end = [connection = std::shared_ptr<X11Connection>(std::move(connection))] {
        if (connection->broken()) return;
        XScreenSaverSuspend(connection->display(), False);
        connection->sync();
    };
    return inhibition;
}

}  // namespace

IdleInhibitor::IdleInhibitor(std::string displayName) : displayName_(std::move(displayName)) {}

std::shared_ptr<void> IdleInhibitor::begin(const char* reason) {
    if (auto inhibition = overBus(reason)) return inhibition;
    if (auto inhibition = overX11(displayName_)) return inhibition;
    logger()->info("{}",
                   "the desktop may blank the screen while streaming: no screen saver "
                   "service on the session bus and no X screen saver extension");
    return nullptr;
}

}  // namespace panelora
