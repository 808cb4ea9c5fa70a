// CursorTracker: tells a tablet that draws the cursor itself where the cursor is and what it looks
// like. One per session, created and started by the session's start-up when the tablet asks for
// it, stopped by the session's end.
//
// Position: sampled on the tracker's own queue ("panelora.cursor") every 8 ms, every 33 ms once
// nothing changed for more than a second; a cursorPosition packet goes out only on a change.
// Image: checked on the main queue every 50 ms (250 ms while idle); a cursorImage packet goes out
// only when the image or its hot spot changed. Timer handlers hold the tracker weakly; stop()
// cancels both timers (a step already running may still send). `send` is called on either queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "display/display_geometry.h"
#include "input/cursor_source.h"
#include "protocol/wire.h"
#include "support/clock.h"
#include "support/serial_queue.h"
#include "support/timer_source.h"

namespace panelora {

class CursorTracker : public std::enable_shared_from_this<CursorTracker> {
  public:
    using Send = std::function<void(Wire::PacketType type, std::span<const uint8_t> payload)>;

    static constexpr double maxCursorPoints = 512.0;
    static constexpr size_t maxPngBytes = 262'144;
    static constexpr float positionThreshold = 5e-5f;

    struct Position {
        bool visible = false;
        float x = 0;
        float y = 0;
        bool operator==(const Position&) const = default;
    };

    // Everything the tracker uses, for tests; the plain create() takes the installed backends,
    // a new "panelora.cursor" queue, mainQueue() and the system clock.
    struct Environment {
        std::shared_ptr<CursorSource> cursor;
        std::shared_ptr<DisplayGeometry> geometry;
        std::shared_ptr<SerialQueue> queue;      // position sampling
        std::shared_ptr<SerialQueue> mainQueue;  // image checks
        const Clock* clock = nullptr;            // idle timing; defaults to queue->clock()
    };

    // `logicalWidth` is the virtual display's width in points (clamped into 0…65535).
    static std::shared_ptr<CursorTracker> create(DisplayID displayID, int64_t logicalWidth,
                                                 Send send);
    static std::shared_ptr<CursorTracker> create(DisplayID displayID, int64_t logicalWidth,
                                                 Send send, Environment environment);
    ~CursorTracker();
    CursorTracker(const CursorTracker&) = delete;
    CursorTracker& operator=(const CursorTracker&) = delete;

    // Creates and resumes both timers; the first samples run at once. Call once.
    void start();
    // Cancels both timers. Idempotent, any thread.
    void stop();

    bool idle() const;
    std::optional<Position> lastPosition() const;

    // The key an image is remembered by: a 64-bit hash of the PNG bytes and the hot spot.
    static uint64_t imageKey(std::span<const uint8_t> png, double hotSpotX, double hotSpotY);

  private:
    CursorTracker(DisplayID displayID, int64_t logicalWidth, Send send, Environment environment);

    // On queue_.
    void samplePosition();
    void noteMovement();
    void checkIdle();
    // On the main queue.
    void imageTick();
    void captureImage();

    struct Image {
        PlatformCursor cursor;
        std::vector<uint8_t> png;
    };
    static std::optional<Image> cursorPNG(const PlatformCursor& cursor);
    void reschedulePositionTimer(Duration interval, Duration leeway);

    const DisplayID displayID_;
    const uint16_t logicalWidth_;
    const Send send_;
    const Environment env_;
    const Clock& clock_;

    mutable std::mutex stateLock_;
    std::shared_ptr<TimerSource> positionTimer_;  // guarded
    std::shared_ptr<TimerSource> imageTimer_;     // guarded
    std::optional<Position> lastPosition_;        // written on queue_, read on main; guarded
    int64_t lastMovement_;                        // uptime ns of the last sent change; guarded
    bool idle_ = false;                           // guarded
    int64_t imageTicks_ = 0;                      // guarded
    std::optional<uint64_t> lastImageKey_;        // main queue only
};

}  // namespace panelora
