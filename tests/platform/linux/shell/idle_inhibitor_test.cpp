// The idle inhibition against desktop services on a private session bus: a fake screen saver or
// session manager records the calls and answers them.
#include "platform/linux/shell/idle_inhibitor.h"

#include <gio/gio.h>

#include "child_process.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

// One desktop service on the bus: each call to it recorded as "path interface.Method(arguments)"
// and answered, Inhibit with cookie 42. GDBus runs the filter on its own thread.
class FakeService {
  public:
    FakeService(const std::string& address, const char* name)
        : connection_(g_dbus_connection_new_for_address_sync(
              address.c_str(),
              GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                   G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
              nullptr, nullptr, nullptr)),
          filter_(g_dbus_connection_add_filter(connection_, &FakeService::answer, this, nullptr)) {
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", name, 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
            nullptr, nullptr);
        if (reply) g_variant_unref(reply);
    }
    ~FakeService() {
        g_dbus_connection_remove_filter(connection_, filter_);
        g_object_unref(connection_);
    }

    Collected<std::string> calls;

  private:
    static GDBusMessage* answer(GDBusConnection* connection, GDBusMessage* message,
                                gboolean incoming, gpointer self) {
        if (!incoming ||
            g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
            return message;
        }
        const std::string method = g_dbus_message_get_member(message);
        GVariant* body = g_dbus_message_get_body(message);
        gchar* arguments = body ? g_variant_print(body, TRUE) : g_strdup("()");
        const char* interface = g_dbus_message_get_interface(message);
        static_cast<FakeService*>(self)->calls.add(std::string(g_dbus_message_get_path(message)) +
                                                   " " + (interface ? interface : "-") + "." +
                                                   method + arguments);
        g_free(arguments);
        GDBusMessage* reply = g_dbus_message_new_method_reply(message);
        if (method == "Inhibit") g_dbus_message_set_body(reply, g_variant_new("(u)", 42u));
        g_dbus_connection_send_message(connection, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                       nullptr);
        g_object_unref(reply);
        g_object_unref(message);
        return nullptr;
    }

    GDBusConnection* connection_;
    const unsigned filter_;
};

TEST(IdleInhibitor, AsksTheDesktopWhileHeldAndLetsGoAfter) {
    auto bus =
        ChildProcess::start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"},
                            ChildProcess::Options().stderrTo("/dev/null"));
    ASSERT_TRUE(bus);
    const auto address = bus->readLine(10s);
    ASSERT_TRUE(address);
    ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", *address);

    const std::string saver = "/org/freedesktop/ScreenSaver org.freedesktop.ScreenSaver.";
    const std::string session = "/org/gnome/SessionManager org.gnome.SessionManager.";
    // The service's bus name, the calls it gets.
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"org.freedesktop.ScreenSaver",
         {saver + "Inhibit('Panelora', 'Streaming')", saver + "UnInhibit(uint32 42,)"}},
        {"org.gnome.SessionManager",
         {session + "Inhibit('app.panelora.Panelora', uint32 0, 'Streaming', uint32 8)",
          session + "Uninhibit(uint32 42,)"}},
    };
    for (const auto& [name, calls] : cases) {
        SCOPED_TRACE(name);
        FakeService service(*address, name);
        IdleInhibitor inhibitor(":59999");  // no X server: the bus or nothing
        auto held = inhibitor.begin("Streaming");
        ASSERT_TRUE(held);
        EXPECT_EQ(service.calls.size(), 1u);
        held.reset();
        EXPECT_EQ(service.calls.items(), calls);
    }
    // Neither service: nothing to hold, and no wait.
    IdleInhibitor inhibitor(":59999");
    EXPECT_FALSE(inhibitor.begin("Streaming"));
}

}  // namespace
}  // namespace panelora::test
