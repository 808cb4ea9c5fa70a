// The idle inhibition against desktop services on a private session bus: a fake screen saver or
// session manager records the calls.
#include "platform/linux/shell/idle_inhibitor.h"

#include <gio/gio.h>

#include "child_process.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

struct Service {
    const char* name;
    const char* path;
    const char* introspection;
};

constexpr Service kScreenSaver{
    "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
    "<node><interface name='org.freedesktop.ScreenSaver'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "<method name='UnInhibit'><arg type='u' direction='in'/></method></interface></node>"};
constexpr Service kSessionManager{
    "org.gnome.SessionManager", "/org/gnome/SessionManager",
    "<node><interface name='org.gnome.SessionManager'>"
    "<method name='Inhibit'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "<method name='Uninhibit'><arg type='u' direction='in'/></method></interface></node>"};

// One desktop service on the bus, answering on its own thread; records each call as
// "Method(arguments)" and hands out cookie 42.
class FakeService {
  public:
    FakeService(const std::string& address, const Service& service)
        : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
        g_main_context_push_thread_default(context_);
        connection_ = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(service.introspection, nullptr);
        static const GDBusInterfaceVTable vtable{&FakeService::call, nullptr, nullptr, {}};
        g_dbus_connection_register_object(connection_, service.path, node->interfaces[0], &vtable,
                                          this, nullptr, nullptr);
        g_dbus_node_info_unref(node);
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", service.name, 4u), nullptr, G_DBUS_CALL_FLAGS_NONE,
            5000, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
        g_main_context_pop_thread_default(context_);
        thread_ = std::thread([this] {
            g_main_context_push_thread_default(context_);
            g_main_loop_run(loop_);
            g_main_context_pop_thread_default(context_);
        });
    }
    ~FakeService() {
        g_main_loop_quit(loop_);
        thread_.join();
        g_object_unref(connection_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    Collected<std::string> calls;

  private:
    static void call(GDBusConnection*, const char*, const char*, const char*, const char* method,
                     GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
        gchar* text = g_variant_print(parameters, FALSE);
        static_cast<FakeService*>(self)->calls.add(std::string(method) + text);
        g_free(text);
        const bool inhibit = std::string(method) == "Inhibit";
        g_dbus_method_invocation_return_value(invocation,
                                              inhibit ? g_variant_new("(u)", 42u) : nullptr);
    }

    GMainContext* context_;
    GMainLoop* loop_;
    GDBusConnection* connection_ = nullptr;
    std::thread thread_;
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

    struct Case {
        const Service& service;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {kScreenSaver, {"Inhibit('Panelora', 'Streaming')", "UnInhibit(42,)"}},
        {kSessionManager,
         {"Inhibit('app.panelora.Panelora', 0, 'Streaming', 8)", "Uninhibit(42,)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.service.name);
        FakeService service(*address, c.service);
        IdleInhibitor inhibitor(":59999");  // no X server: the bus or nothing
        auto held = inhibitor.begin("Streaming");
        ASSERT_TRUE(held);
        EXPECT_EQ(service.calls.size(), 1u);
        held.reset();
        EXPECT_EQ(service.calls.items(), c.calls);
    }
    // Neither service: nothing to hold, and no wait.
    IdleInhibitor inhibitor(":59999");
    EXPECT_FALSE(inhibitor.begin("Streaming"));
}

}  // namespace
}  // namespace panelora::test
