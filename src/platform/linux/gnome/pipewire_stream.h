// PipeWireStream: a PipeWire consumer of one screen-cast node in shared memory. Connecting fixes
// the node's video size and rate, which makes mutter create the virtual monitor with that size
// and refresh rate; every buffer then goes to the frame handler with the cursor and damage
// metadata mutter attached.
//
// The stream keeps the buffer of the latest picture until the next picture arrives, so that a
// buffer that only moves the cursor still comes with the picture it belongs to (mutter sends no
// pixels then), which the handler can convert again with the cursor at its new place.
//
// Threads: a PipeWire thread loop of its own runs the stream; the handler and `onEnded` run there
// with the loop's lock held, one buffer at a time. connect() blocks until the format is fixed.
// lock() excludes the handler (the loop's lock is recursive, so the handler's own thread may take
// it too). stop() is idempotent and safe from any thread but the stream's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/geometry.h"

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
    // True when the picture is new with this buffer (false: only the cursor moved). With damage
    // metadata a new picture that changed nothing counts as not new.
    bool pictureChanged = false;
    // The changed rectangles when mutter said which (stream pixels); empty: all of it.
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
    };
    using FrameHandler = std::function<void(StreamFrame& frame)>;

    // Nothing, with `why`, when the daemon cannot be reached or the node does not take the format
    // within a few seconds. `onEnded` is called once if the node goes away later.
    static std::unique_ptr<PipeWireStream> connect(const Options& options, FrameHandler handler,
                                                   std::function<void()> onEnded,
                                                   std::string* why);
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
    explicit PipeWireStream(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace panelora
