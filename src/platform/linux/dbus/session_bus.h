// SessionBus: the GNOME backends' one private connection to the D-Bus session bus, and the thread
// that delivers its signals.
//
// Mutter ties a screen-cast or remote-desktop session to the connection that made it, so the
// platform keeps this connection for as long as any of its sessions lives; destroying it closes
// the connection, which ends whatever mutter sessions are still open.
//
// Threads: call() and post() are safe from any thread (GDBus keeps the messages of one thread in
// order; a call blocks only its caller). Signal handlers run one at a time on the bus's own thread
// ("panelora-dbus") and must not block for long. A subscription ends when its token is destroyed;
// a handler already running may still finish then, so handlers hold their owners weakly.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/linux/dbus/glib_handles.h"

namespace panelora {

class SessionBus : public std::enable_shared_from_this<SessionBus> {
  public:
    // An object's interface on a service.
    struct Target {
        const char* service;
        std::string path;
        const char* interface;
    };
    // A method's answer: the reply tuple, or the error's text.
    struct Reply {
        glib::Variant value;
        std::string error;
        bool ok() const { return static_cast<bool>(value); }
    };
    using SignalHandler = std::function<void(const glib::Variant& parameters)>;

    // Ends its signal subscription when destroyed.
    class Subscription {
      public:
        ~Subscription();
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;

      private:
        friend class SessionBus;
        Subscription(std::shared_ptr<SessionBus> bus, unsigned id)
            : bus_(std::move(bus)), id_(id) {}
        std::shared_ptr<SessionBus> bus_;
        unsigned id_;
    };

    static constexpr std::chrono::milliseconds defaultTimeout{5000};

    // `address` as D-Bus writes it ("unix:path=/run/user/1000/bus"); empty: the session bus of
    // the environment. Nothing, with `why`, when no bus answers there.
    static std::shared_ptr<SessionBus> connect(const std::string& address, std::string* why);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Calls a method and waits for its reply. `arguments` is a tuple (or null); a floating value
    // is consumed. `replyType` (a tuple type such as "(o)") is checked when given.
    Reply call(const Target& target, const char* method, GVariant* arguments,
               const char* replyType = nullptr, std::chrono::milliseconds timeout = defaultTimeout);
    // Sends a method call without waiting for, or asking for, a reply.
    void post(const Target& target, const char* method, GVariant* arguments);
    // A property through org.freedesktop.DBus.Properties.Get, unboxed.
    Reply property(const Target& target, const char* name);
    // True when some connection owns `name` now.
    bool hasOwner(const char* name);

    // Subscribes to a signal; the handler gets the signal's parameter tuple on the bus thread.
    // Empty `path` matches every object.
    [[nodiscard]] std::unique_ptr<Subscription> subscribe(const char* sender, const char* interface,
                                                          const char* member,
                                                          const std::string& path,
                                                          SignalHandler handler);

    // False once the bus has closed the connection (the session bus went away).
    bool connected() const;
    const std::string& address() const { return address_; }

  private:
    SessionBus(glib::Connection connection, std::string address);
    void unsubscribe(unsigned id);

    const glib::Connection connection_;
    const std::string address_;
    const glib::MainContext context_;
    const glib::MainLoop loop_;
    std::thread thread_;
};

}  // namespace panelora
