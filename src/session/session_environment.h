// Everything a Session reaches outside itself: the platform backends of the video chain, the
// input injectors, the cursor tracker and display arrangement factories, the clock, the queues
// and the process activity. The application builds one from the installed Linux backends
// (standard()); tests build one from fakes and a ManualClock.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "display/display_arrangement.h"
#include "protocol/wire.h"
#include "support/clock.h"
#include "support/geometry.h"
#include "support/serial_queue.h"
#include "video/h264_encoder.h"
#include "video/screen_capturer.h"
#include "video/virtual_display.h"

namespace panelora {

// The input side the reader thread and the end path drive. The default forwards to the
// process-wide injectors (pointer, scroll, KeyInjectorCore::shared()).
class SessionInput {
  public:
    virtual ~SessionInput() = default;
    virtual void resetInjectionState() = 0;
    virtual void injectTouch(uint8_t phase, DisplayID display, float x, float y) = 0;
    virtual void injectScroll(float dx, float dy) = 0;
    virtual void injectKey(const KeyEvent& event) = 0;
    // Lets go of a mouse button a touch left pressed; run by the reader once it stopped reading.
    virtual void releaseHeldButton() = 0;
    virtual void releaseAllKeys() = 0;
};

// The parts of a cursor tracker the session drives.
class SessionCursorTracker {
  public:
    virtual ~SessionCursorTracker() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

// The parts of a display arrangement the session drives; every call is made on the main queue.
class SessionArrangement {
  public:
    virtual ~SessionArrangement() = default;
    virtual void start() = 0;
    virtual void move(DisplayArrangement::Side side) = 0;
    virtual void unregister() = 0;
};

// Keeps the system from throttling or idling while the session streams (on Linux: the screen
// from blanking and locking).
class ProcessActivity {
  public:
    virtual ~ProcessActivity() = default;
    // Returns a token that ends the activity when destroyed.
    virtual std::shared_ptr<void> begin(const char* reason) = 0;
};

struct SessionEnvironment {
    using PacketSender = std::function<void(Wire::PacketType, std::vector<uint8_t>)>;

    VirtualDisplayBackend* displays = nullptr;
    CaptureBackend* capture = nullptr;
    VideoCodecFactory* codecs = nullptr;
    std::shared_ptr<SessionInput> input;
    std::function<std::shared_ptr<SessionCursorTracker>(DisplayID, int64_t logicalWidth,
                                                        PacketSender send)>
        makeCursorTracker;
    std::function<std::shared_ptr<SessionArrangement>(DisplayID)> makeArrangement;
    std::shared_ptr<ProcessActivity> activity;

    const Clock* clock = &Clock::system();
    // The queue that runs the arrangement's work (the main thread's, normally).
    std::shared_ptr<SerialQueue> mainQueue;
    // Queue factories, so that tests can put the statistics and the fallback on a manual clock.
    std::function<std::shared_ptr<SerialQueue>(const char* label, QueuePriority)> makeQueue;
    // Where an ended session lets go of its virtual display, which can take seconds (a
    // compositor's teardown): never on the thread that ends it, the main queue among them. A
    // start waits for the releases before it makes a display. Empty: on the ending thread.
    std::shared_ptr<SerialQueue> displayRelease;
    std::chrono::milliseconds helloTimeout{3000};
    // How long the keep-alive waits for a pong before ending the session.
    Duration keepAliveTimeout = std::chrono::seconds(30);

    // The process's own: the installed injectors, cursor tracker and arrangement over the
    // installed backends, real queues on the system clock, the main queue, the process's one
    // display release queue, no activity.
    static SessionEnvironment standard(VirtualDisplayBackend& displays, CaptureBackend& capture,
                                       VideoCodecFactory& codecs);

    // Input forwarding to the process-wide injectors, a no-op activity, real queues.
    static std::shared_ptr<SessionInput> processInput();
    static std::shared_ptr<ProcessActivity> noActivity();
    static std::shared_ptr<SerialQueue> realQueue(const char* label, QueuePriority priority);
};

}  // namespace panelora
