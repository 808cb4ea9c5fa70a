#include "platform/linux/dbus/session_bus.h"

#include <future>

namespace panelora {
namespace {

struct HandlerBox {
    SessionBus::SignalHandler handler;
};

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
              GVariant* parameters, gpointer data) {
    auto* box = static_cast<HandlerBox*>(data);
    if (box->handler) box->handler(glib::Variant::ref(parameters));
}

}  // namespace

std::shared_ptr<SessionBus> SessionBus::connect(const std::string& address, std::string* why) {
    GError* raw = nullptr;
    std::string where = address;
    if (where.empty()) {
        gchar* found = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
        glib::Error error(raw);
        if (!found) {
            if (why) *why = "no D-Bus session bus: " + glib::message(error);
            return nullptr;
        }
        where = found;
        g_free(found);
    }
    // A private connection (not the process-wide one of g_bus_get): our sessions live and die
    // with it, and closing it never ends the process.
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        where.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &raw);
    glib::Error error(raw);
    if (!connection) {
        if (why) *why = "cannot connect to the D-Bus session bus: " + glib::message(error);
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return std::shared_ptr<SessionBus>(new SessionBus(glib::Connection(connection), where));
}

SessionBus::SessionBus(glib::Connection connection, std::string address)
    : connection_(std::move(connection)),
      address_(std::move(address)),
      context_(g_main_context_new()),
      loop_(g_main_loop_new(context_.get(), FALSE)) {
    // The thread holds references of its own, so that it can outlive the object (see below).
    thread_ = std::thread([context = glib::MainContext(g_main_context_ref(context_.get())),
                           loop = glib::MainLoop(g_main_loop_ref(loop_.get()))] {
        g_main_context_push_thread_default(context.get());
        g_main_loop_run(loop.get());
        // GDBus frees an ended subscription's handler in an idle of this context.
        while (g_main_context_iteration(context.get(), FALSE)) {
        }
        g_main_context_pop_thread_default(context.get());
    });
}

SessionBus::~SessionBus() {
    // A quit before the thread entered its loop would be lost (running the loop clears it), so
    // the quit is a task of the loop itself: it ends the loop whenever the loop runs.
    GSource* quit = g_idle_source_new();
    g_source_set_priority(quit, G_PRIORITY_HIGH);
    g_source_set_callback(
        quit,
        [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        g_main_loop_ref(loop_.get()), reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
    g_source_attach(quit, context_.get());
    g_source_unref(quit);
    // The last owner may let go inside a signal handler; the thread then ends on its own.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else if (thread_.joinable()) {
        thread_.join();
    }
    g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
}

SessionBus::Reply SessionBus::call(const Target& target, const char* method, GVariant* arguments,
                                   const char* replyType, std::chrono::milliseconds timeout) {
    GError* raw = nullptr;
    GVariant* result = g_dbus_connection_call_sync(
        connection_.get(), target.service, target.path.c_str(), target.interface, method, arguments,
        replyType ? G_VARIANT_TYPE(replyType) : nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START,
        static_cast<int>(timeout.count()), nullptr, &raw);
    glib::Error error(raw);
    Reply reply;
    reply.value = glib::Variant::take(result);
    if (!result) {
        gchar* remote = error ? g_dbus_error_get_remote_error(error.get()) : nullptr;
        if (error) g_dbus_error_strip_remote_error(error.get());
        reply.error = std::string(method) + ": " + glib::message(error);
        if (remote) {
            reply.error += " (" + std::string(remote) + ")";
            g_free(remote);
        }
    }
    return reply;
}

void SessionBus::post(const Target& target, const char* method, GVariant* arguments) {
    // Without a callback GDBus sends the call with NO_REPLY_EXPECTED.
    g_dbus_connection_call(connection_.get(), target.service, target.path.c_str(), target.interface,
                           method, arguments, nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr,
                           nullptr, nullptr);
}

SessionBus::Reply SessionBus::property(const Target& target, const char* name) {
    Reply reply = call({target.service, target.path, "org.freedesktop.DBus.Properties"}, "Get",
                       g_variant_new("(ss)", target.interface, name), "(v)");
    if (reply.ok()) {
        reply.value = glib::Variant::take(g_variant_get_variant(reply.value.child(0).get()));
    }
    return reply;
}

bool SessionBus::hasOwner(const char* name) {
    Reply reply = call({"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus"},
                       "NameHasOwner", g_variant_new("(s)", name), "(b)");
    return reply.ok() && g_variant_get_boolean(reply.value.child(0).get());
}

bool SessionBus::connected() const {
    return !g_dbus_connection_is_closed(connection_.get());
}

std::unique_ptr<SessionBus::Subscription> SessionBus::subscribe(const char* sender,
                                                                const char* interface,
                                                                const char* member,
                                                                const std::string& path,
                                                                SignalHandler handler) {
    // GDBus delivers a signal on the main context that was the thread's default when it was
    // subscribed, so the subscription is made on the bus thread.
    struct Request {
        GDBusConnection* connection;
        const char* sender;
        const char* interface;
        const char* member;
        const char* path;
        HandlerBox* box;
        std::promise<unsigned> id;
    };
    Request request{connection_.get(),
                    sender,
                    interface,
                    member,
                    path.empty() ? nullptr : path.c_str(),
                    new HandlerBox{std::move(handler)},
                    {}};
    std::future<unsigned> id = request.id.get_future();
    g_main_context_invoke(
        context_.get(),
        [](gpointer data) -> gboolean {
            auto* r = static_cast<Request*>(data);
            r->id.set_value(g_dbus_connection_signal_subscribe(
                r->connection, r->sender, r->interface, r->member, r->path, nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, onSignal, r->box,
                [](gpointer box) { delete static_cast<HandlerBox*>(box); }));
            return G_SOURCE_REMOVE;
        },
        &request);
    return std::unique_ptr<Subscription>(new Subscription(shared_from_this(), id.get()));
}

void SessionBus::unsubscribe(unsigned id) {
    g_dbus_connection_signal_unsubscribe(connection_.get(), id);
}

SessionBus::Subscription::~Subscription() {
    bus_->unsubscribe(id_);
}

}  // namespace panelora
