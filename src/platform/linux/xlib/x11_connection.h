// X11Connection: one client connection to an X server, owned by one object and used by one
// thread at a time (or under the owner's mutex).
//
// X errors never end the process: the first connection opened installs one process-wide error
// handler that counts errors per connection, and each connection gets an I/O-error exit handler
// that marks it broken instead of calling exit(). A broken connection stays open (Xlib then
// fails every request quietly) until its owner destroys it.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace panelora {

class X11Connection {
  public:
    // Opens `displayName` (empty: $DISPLAY). Nothing when the server cannot be reached; `why`
    // then says which display failed.
    static std::unique_ptr<X11Connection> open(const std::string& displayName,
                                               std::string* why = nullptr);
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const { return display_; }
    Window root() const { return DefaultRootWindow(display_); }
    int fd() const { return ConnectionNumber(display_); }

    // Waits for the server to process everything sent so far. True when no X error arrived for
    // this connection since the previous sync() (or since opening) and the connection is alive.
    bool sync();
    // Errors reported for this connection so far.
    uint64_t errorCount() const;
    // The last error code seen (0 for none), for log lines.
    int lastErrorCode() const;

    // True once Xlib reported an I/O error (server gone, socket closed).
    bool broken() const { return broken_.load(std::memory_order_acquire); }
    // Marks the connection broken without touching Xlib (poll saw the socket fail).
    void markBroken() { broken_.store(true, std::memory_order_release); }

    struct ErrorState;

  private:
    explicit X11Connection(Display* display);
    static void ioErrorExit(Display* display, void* self);

    Display* display_;
    std::atomic<bool> broken_{false};
    uint64_t errorsAtLastSync_ = 0;
};

}  // namespace panelora
