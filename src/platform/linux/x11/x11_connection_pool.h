// X11ConnectionPool: X connections to one display, lent to one caller at a time.
//
// The input backends are called from several threads at once (the session's reader thread, the
// key queue, the cursor queue, the main queue). Xlib connections are not shared between threads
// here: a caller leases a connection, uses it alone and gives it back when the lease ends. The
// pool's lock only guards the list of idle connections; no X call is made while it is held.
// Leases are handed out last-in first-out, so one thread calling repeatedly gets the same
// connection and its requests reach the server in order. A connection that broke (server gone)
// is dropped when it comes back, and the next lease opens a fresh one.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/xlib/x11_connection.h"

namespace panelora {

class X11ConnectionPool : public std::enable_shared_from_this<X11ConnectionPool> {
  public:
    // `displayName` empty: $DISPLAY. Opens nothing yet.
    static std::shared_ptr<X11ConnectionPool> create(std::string displayName);

    class Lease {
      public:
        Lease() = default;
        Lease(Lease&&) noexcept = default;
        Lease& operator=(Lease&&) noexcept;
        ~Lease();

        explicit operator bool() const { return connection_ != nullptr; }
        X11Connection* operator->() const { return connection_.get(); }
        X11Connection& connection() const { return *connection_; }
        Display* display() const { return connection_->display(); }

      private:
        friend class X11ConnectionPool;
        Lease(std::shared_ptr<X11ConnectionPool> pool, std::unique_ptr<X11Connection> connection)
            : pool_(std::move(pool)), connection_(std::move(connection)) {}
        void giveBack();

        std::shared_ptr<X11ConnectionPool> pool_;
        std::unique_ptr<X11Connection> connection_;
    };

    // An idle connection, or a new one; an empty lease when the display cannot be opened.
    Lease acquire();

    // Opens a connection that the caller keeps (a thread that waits for events on it).
    std::unique_ptr<X11Connection> openDedicated(std::string* why = nullptr) const;

    const std::string& displayName() const { return displayName_; }

  private:
    explicit X11ConnectionPool(std::string displayName) : displayName_(std::move(displayName)) {}
    void giveBack(std::unique_ptr<X11Connection> connection);

    // More idle connections than this are closed on return (more callers at once never happen).
    static constexpr size_t maxIdle = 4;

    const std::string displayName_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<X11Connection>> idle_;  // guarded by mutex_
};

}  // namespace panelora
