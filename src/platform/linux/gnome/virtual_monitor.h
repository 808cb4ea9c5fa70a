// VirtualMonitor: one live virtual monitor of mutter as the GNOME backends share it: the mutter
// session that asked for it, the PipeWire stream that fixed its size and receives its frames,
// the cursor as the frames' metadata last told it, and the capture's frame sink.
// VirtualMonitors is the platform's list of them.
//
// Owned by the GnomeVirtualDisplay that made it; the capture, the event poster and the cursor
// source find it by DisplayID in VirtualMonitors and hold it while they use it.
//
// Threads: frames arrive on the stream's PipeWire thread and go to the sink there; setFrameSink()
// waits for a frame in progress, so no call reaches a sink after it was replaced. The cursor
// state is guarded by a mutex and readable from any thread. `onEnded` handlers run once, on the
// monitors' events queue, when mutter ends the session or the node goes away: never on the bus or
// the PipeWire thread, since what ends with the monitor may tear it down.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/linux/gnome/monitor_layout.h"
#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/pipewire/pipewire_stream.h"
#include "support/geometry.h"
#include "support/serial_queue.h"

namespace panelora {

class VirtualMonitor {
  public:
    struct Cursor {
        bool onMonitor = false;
        std::optional<Point> position;               // stream pixels, while on the monitor
        std::optional<Point> lastSeen;               // the last position it had on it
        std::shared_ptr<const CursorBitmap> bitmap;  // the latest image; null: none sent yet
    };
    using FrameSink = std::function<void(StreamFrame& frame, const Cursor& cursor)>;

    VirtualMonitor(int pixelWidth, int pixelHeight, double pointsPerPixel,
                   std::shared_ptr<MutterSession> session, std::shared_ptr<SerialQueue> events);
    ~VirtualMonitor();

    DisplayID id() const { return id_; }
    const MonitorSpec& spec() const { return spec_; }
    int pixelWidth() const { return pixelWidth_; }
    int pixelHeight() const { return pixelHeight_; }
    // The virtual display's points (the stream profile's) per stream pixel: what cursor images
    // are measured in.
    double pointsPerPixel() const { return pointsPerPixel_; }
    const std::shared_ptr<MutterSession>& session() const { return session_; }
    // Mutter's scale for the monitor, as the display set it.
    double scale() const { return scale_.load(); }
    void setScale(double scale) { scale_.store(scale); }

    // Set up, before the monitor is shared: the stream whose frames come here, then the monitor
    // mutter made for it.
    void attach(std::unique_ptr<PipeWireStream> stream);
    // Pauses and resumes the stream: mutter 43 sometimes stops recording a virtual stream when
    // the monitors change under it, and attaches the recording anew when it resumes. While it is
    // paused mutter drops absolute pointer motion for it, and misses cursor image changes.
    void restartStream();
    void identify(DisplayID id, MonitorSpec spec);
    // Called by the stream's handler.
    void handleFrame(StreamFrame& frame);
    // Replaces the sink; the new one is called at once with the latest picture marked changed,
    // when there is one. An empty sink detaches.
    void setFrameSink(FrameSink sink);

    Cursor cursor() const;

    // Posted once when the monitor ends, on mutter's side or by stop() (at once when it has).
    void setEndedHandler(std::function<void()> handler);
    void ended();
    bool hasEnded() const;

    // Stops the stream, then the session: the monitor goes away, and the ended handler is posted
    // as for an end on mutter's side. Idempotent.
    void stop();

  private:
    DisplayID id_ = 0;
    MonitorSpec spec_;
    const int pixelWidth_;
    const int pixelHeight_;
    const double pointsPerPixel_;
    const std::shared_ptr<MutterSession> session_;
    const std::shared_ptr<SerialQueue> events_;
    std::unique_ptr<PipeWireStream> stream_;  // set once, before frames matter
    std::atomic<double> scale_{1};

    FrameSink sink_;      // guarded by the stream's lock
    StreamFrame latest_;  // guarded by the stream's lock: the picture part of the last frame

    mutable std::mutex mutex_;
    Cursor cursor_;                  // guarded by mutex_
    std::function<void()> onEnded_;  // guarded by mutex_
    bool ended_ = false;             // guarded by mutex_
};

class VirtualMonitors {
  public:
    // Where the monitors' ends are told, and their streams' (one thread for all).
    const std::shared_ptr<SerialQueue>& events() const { return events_; }

    void add(std::shared_ptr<VirtualMonitor> monitor);
    void remove(DisplayID id);
    std::shared_ptr<VirtualMonitor> find(DisplayID id) const;
    // Newest first.
    std::vector<std::shared_ptr<VirtualMonitor>> all() const;

  private:
    const std::shared_ptr<SerialQueue> events_ = SerialQueue::create("panelora.gnome.ends");
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<VirtualMonitor>> monitors_;  // guarded by mutex_
};

}  // namespace panelora
