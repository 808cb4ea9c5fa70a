#include "platform/linux/gnome/mutter_session.h"

#include <condition_variable>

#include "platform/linux/gnome/mutter_names.h"
#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("gnome");
}

constexpr auto kNodeTimeout = std::chrono::seconds(5);

std::string objectPath(const SessionBus::Reply& reply) {
    const char* path = nullptr;
    g_variant_get(reply.value.get(), "(&o)", &path);
    return path ? path : "";
}

}  // namespace

MutterSession::MutterSession(std::shared_ptr<SessionBus> bus) : bus_(std::move(bus)) {}

MutterSession::~MutterSession() {
    stop();
}

std::shared_ptr<MutterSession> MutterSession::start(std::shared_ptr<SessionBus> bus,
                                                    std::string* why) {
    auto fail = [why](std::string text) -> std::shared_ptr<MutterSession> {
        if (why) *why = std::move(text);
        return nullptr;
    };
    std::shared_ptr<MutterSession> session(new MutterSession(bus));

    auto reply = bus->call(mutter::remoteDesktop(), "CreateSession", nullptr, "(o)");
    if (!reply.ok()) return fail("mutter gave no remote desktop session: " + reply.error);
    session->remoteDesktopPath_ = objectPath(reply);
    const SessionBus::Target remoteDesktop = mutter::remoteDesktopSession(session->remoteDesktopPath_);
    // From here on the destructor stops what was made.

    std::weak_ptr<MutterSession> weak = session;
    session->closedWatch_ = bus->subscribe(
        mutter::remoteDesktopService, mutter::remoteDesktopSessionInterface, "Closed",
        session->remoteDesktopPath_, [weak](const glib::Variant&) {
            auto self = weak.lock();
            if (!self || self->stopped_.exchange(true)) return;
            std::function<void()> closed;
            {
                std::lock_guard lock(self->mutex_);
                self->closed_ = true;
                closed = std::move(self->onClosed_);
            }
            logger()->info("{}", "mutter closed the remote desktop session " +
                                     self->remoteDesktopPath_);
            if (closed) closed();
        });

    reply = bus->property(remoteDesktop, "SessionId");
    if (!reply.ok()) return fail("the remote desktop session has no id: " + reply.error);
    const char* id = g_variant_get_string(reply.value.get(), nullptr);

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id", g_variant_new_string(id));
    reply = bus->call(mutter::screenCast(), "CreateSession", g_variant_new("(a{sv})", &options), "(o)");
    if (!reply.ok()) return fail("mutter gave no screen cast session: " + reply.error);
    session->screenCastPath_ = objectPath(reply);

    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "cursor-mode", g_variant_new_uint32(mutter::cursorModeMetadata));
    g_variant_builder_add(&options, "{sv}", "is-platform", g_variant_new_boolean(TRUE));
    reply = bus->call(mutter::screenCastSession(session->screenCastPath_), "RecordVirtual",
                      g_variant_new("(a{sv})", &options), "(o)");
    if (!reply.ok()) return fail("mutter refused a virtual monitor stream: " + reply.error);
    session->streamPath_ = objectPath(reply);

    // The node is announced after Start(); the subscription must exist before it.
    struct NodeWait {
        std::mutex mutex;
        std::condition_variable changed;
        uint32_t node = 0;
    };
    auto wait = std::make_shared<NodeWait>();
    auto added = bus->subscribe(mutter::screenCastService, mutter::screenCastStreamInterface,
                                "PipeWireStreamAdded", session->streamPath_,
                                [wait](const glib::Variant& parameters) {
                                    uint32_t node = 0;
                                    g_variant_get(parameters.get(), "(u)", &node);
                                    std::lock_guard lock(wait->mutex);
                                    wait->node = node;
                                    wait->changed.notify_all();
                                });
    reply = bus->call(remoteDesktop, "Start", nullptr);
    if (!reply.ok()) return fail("mutter did not start the session: " + reply.error);
    {
        std::unique_lock lock(wait->mutex);
        if (!wait->changed.wait_for(lock, kNodeTimeout, [&] { return wait->node != 0; })) {
            return fail("mutter named no PipeWire node for the virtual monitor");
        }
        session->nodeId_ = wait->node;
    }
    // Mutter makes a session's virtual pointer and keyboard with their first events, which are
    // lost while the devices are being added; these make them now and do nothing themselves (a
    // motion by nothing, a press of KEY_RESERVED, which mutter refuses).
    session->pointerMotionRelative(0, 0);
    session->keyboardKeycode(0, true);
    logger()->info("{}", "mutter session " + session->remoteDesktopPath_ + " streams node " +
                             std::to_string(session->nodeId_));
    return session;
}

void MutterSession::notify(const char* method, GVariant* arguments) {
    if (stopped_.load()) {
        g_variant_unref(g_variant_ref_sink(arguments));
        return;
    }
    bus_->post(mutter::remoteDesktopSession(remoteDesktopPath_), method, arguments);
}

void MutterSession::pointerMotionAbsolute(double x, double y) {
    notify("NotifyPointerMotionAbsolute", g_variant_new("(sdd)", streamPath_.c_str(), x, y));
}

void MutterSession::pointerMotionRelative(double dx, double dy) {
    notify("NotifyPointerMotionRelative", g_variant_new("(dd)", dx, dy));
}

void MutterSession::pointerButton(int32_t evdevButton, bool pressed) {
    notify("NotifyPointerButton", g_variant_new("(ib)", evdevButton, pressed));
}

void MutterSession::pointerAxis(double dx, double dy, uint32_t flags) {
    notify("NotifyPointerAxis", g_variant_new("(ddu)", dx, dy, flags));
}

void MutterSession::keyboardKeycode(uint32_t evdevKey, bool pressed) {
    notify("NotifyKeyboardKeycode", g_variant_new("(ub)", evdevKey, pressed));
}

void MutterSession::setClosedHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            onClosed_ = std::move(handler);
            return;
        }
    }
    if (handler) handler();
}

void MutterSession::stop() {
    std::unique_ptr<SessionBus::Subscription> watch;
    {
        std::lock_guard lock(mutex_);
        watch = std::move(closedWatch_);
        onClosed_ = nullptr;
    }
    watch.reset();
    if (stopped_.exchange(true) || remoteDesktopPath_.empty()) return;
    // Stopping the remote desktop session stops the screen cast linked to it.
    auto reply = bus_->call(mutter::remoteDesktopSession(remoteDesktopPath_), "Stop", nullptr);
    if (!reply.ok() && bus_->connected()) {
        logger()->info("{}", "stopping " + remoteDesktopPath_ + ": " + reply.error);
    }
}

}  // namespace panelora
