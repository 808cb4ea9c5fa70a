#include "platform/linux/xlib/x11_connection.h"

#include <mutex>
#include <unordered_map>

#include "support/log.h"

namespace panelora {

struct X11Connection::ErrorState {
    struct Record {
        uint64_t count = 0;
        int lastCode = 0;
    };
    std::mutex mutex;
    std::unordered_map<Display*, Record> records;  // guarded by mutex
};

namespace {

X11Connection::ErrorState& errorState() {
    static auto* state = new X11Connection::ErrorState;  // never destroyed: handlers may run late
    return *state;
}

// Runs inside Xlib for every error of every connection of the process; records, never exits.
int recordError(Display* display, XErrorEvent* event) {
    auto& state = errorState();
    bool known = false;
    {
        std::lock_guard lock(state.mutex);
        auto found = state.records.find(display);
        if (found != state.records.end()) {
            ++found->second.count;
            found->second.lastCode = event->error_code;
            known = true;
        }
    }
    log::get("x11")->debug("X error {} (request {}.{}){}", static_cast<int>(event->error_code),
                           static_cast<int>(event->request_code),
                           static_cast<int>(event->minor_code),
                           known ? "" : " on a connection not opened by X11Connection");
    return 0;
}

// Process-wide I/O error handler: returning lets Xlib go on to the per-connection exit handler.
int ignoreIOError(Display*) {
    return 0;
}

void installHandlersOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(ignoreIOError);
    });
}

}  // namespace

std::unique_ptr<X11Connection> X11Connection::open(const std::string& displayName,
                                                   std::string* why) {
    installHandlersOnce();
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!display) {
        if (why) {
            const char* shown = displayName.empty() ? XDisplayName(nullptr) : displayName.c_str();
            *why = std::string("cannot open X display \"") + (shown ? shown : "") + "\"";
        }
        return nullptr;
    }
    {
        auto& state = errorState();
        std::lock_guard lock(state.mutex);
        state.records[display] = {};
    }
    auto connection = std::unique_ptr<X11Connection>(new X11Connection(display));
    XSetIOErrorExitHandler(display, &X11Connection::ioErrorExit, connection.get());
    return connection;
}

X11Connection::X11Connection(Display* display) : display_(display) {}

X11Connection::~X11Connection() {
    // The record goes first: once closed, the Display address may be handed to another thread's
    // new connection, whose record must not be erased.
    {
        auto& state = errorState();
        std::lock_guard lock(state.mutex);
        state.records.erase(display_);
    }
    XCloseDisplay(display_);
}

void X11Connection::ioErrorExit(Display* display, void* self) {
    static_cast<X11Connection*>(self)->markBroken();
    // Xlib takes the display's user lock before calling us and, expecting exit(), never gives it
    // back; released here so that XCloseDisplay from another thread does not wait for ever.
    XUnlockDisplay(display);
}

bool X11Connection::sync() {
    if (broken()) return false;
    XSync(display_, False);
    uint64_t now = errorCount();
    bool clean = now == errorsAtLastSync_;
    errorsAtLastSync_ = now;
    return clean && !broken();
}

uint64_t X11Connection::errorCount() const {
    auto& state = errorState();
    std::lock_guard lock(state.mutex);
    auto found = state.records.find(display_);
    return found == state.records.end() ? 0 : found->second.count;
}

int X11Connection::lastErrorCode() const {
    auto& state = errorState();
    std::lock_guard lock(state.mutex);
    auto found = state.records.find(display_);
    return found == state.records.end() ? 0 : found->second.lastCode;
}

}  // namespace panelora
