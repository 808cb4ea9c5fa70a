// PipeWireStream: a PipeWire consumer of one screen-cast node in shared memory. Connecting fixes
// the node's video size and rate, which makes mutter create the virtual monitor with that size
// and refresh rate; every buffer then goes to the frame handler with the cursor and damage
// metadata mutter attached.
//
// The stream keeps the buffer of the latest picture until the next picture arrives, so that a
// buffer that only moves the cursor still comes with the picture it belongs to (mutter sends no
// pixels then), which the handler can convert again with the cursor at its new place.
//
// Threads: a PipeWire thread loop of its own runs the stream; the handler runs there with the
// loop's lock held, one buffer at a time. `onEnded` is posted to the caller's queue, never run on
// the loop: whatever ends with the stream may tear the stream down. connect() blocks until the
// format is fixed. lock() excludes the handler (the loop's lock is recursive, so the handler's
// own thread may take it too). stop() and the destructor are safe from any thread; on the loop's
// own thread (a handler letting go of the last owner) the teardown moves to a thread of its own,
// since a loop cannot stop or destroy itself from inside.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/geometry.h"
#include "support/serial_queue.h"

struct pw_thread_loop;

namespace panelora {

// A cursor image as mutter draws it: premultiplied ARGB (0xAARRGGBB), stream pixels.
struct CursorBitmap {
    int width = 0;
    int height = 0;
    int hotX = 0;
    int hotY = 0;
    std::vector<uint32_t> pixels;
};

struct StreamCursor {
    bool known = false;      // the buffer carried cursor metadata
    bool onMonitor = false;  // false: the pointer is elsewhere (or hidden)
    int x = 0;               // the hot spot's position, stream pixels
    int y = 0;
    // Set when the image changed with this buffer; an empty bitmap means no visible cursor.
    std::shared_ptr<const CursorBitmap> bitmap;
};

struct StreamFrame {
    // BGRx or BGRA rows of the current picture, mapped read-only. Null until the first picture
    // arrived.
    const uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    // True when the picture is new with this buffer (false: only the cursor moved). A new
    // picture that changed nothing (by mutter's damage, or else by comparison with the one
    // before) counts as not new.
    bool pictureChanged = false;
    // The changed rectangles (stream pixels), where they are known exactly; empty: all of it.
    std::vector<Rect> damage;
    StreamCursor cursor;
    int64_t ptsNanos = 0;  // CLOCK_MONOTONIC
};

class PipeWireStream {
  public:
    struct Options {
        std::string remote;  // the daemon's socket path; empty: the default of the environment
        uint32_t node = 0;
        int width = 0;
        int height = 0;
        int fps = 60;
        // Where `onEnded` is posted.
        std::shared_ptr<SerialQueue> events;
    };
    using FrameHandler = std::function<void(StreamFrame& frame)>;

    // At most this many buffers are mapped at once: one holds the latest picture, two are
    // mutter's to draw into (one starves it; more cost memory and gave no more frames).
    static constexpr int kBuffers = 3;

    // Nothing, with `why`, when the daemon cannot be reached or the node does not take the format
    // within a few seconds. `onEnded` is posted once if the node goes away later.
    static std::unique_ptr<PipeWireStream> connect(const Options& options, FrameHandler handler,
                                                   std::function<void()> onEnded, std::string* why);
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    class Lock {
      public:
        explicit Lock(pw_thread_loop* loop);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        pw_thread_loop* loop_;
    };
    // Held, no handler runs.
    [[nodiscard]] std::unique_ptr<Lock> lock();

    // Pauses the stream and resumes it, waiting for each step (a few seconds at most): mutter
    // attaches its frame recording anew when the stream resumes. False when it did not resume.
    bool restart();

    // The size the node took.
    int width() const;
    int height() const;

    void stop();

    struct State;

  private:
    explicit PipeWireStream(std::shared_ptr<State> state);
    static void shutDown(const std::shared_ptr<State>& state);
    // Shared with a teardown that had to leave the loop's thread.
    std::shared_ptr<State> state_;
};

}  // namespace panelora
