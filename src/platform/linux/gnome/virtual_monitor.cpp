#include "platform/linux/gnome/virtual_monitor.h"

#include <algorithm>

#include "support/log.h"

namespace panelora {

VirtualMonitor::VirtualMonitor(int pixelWidth, int pixelHeight, double pointsPerPixel,
                               std::shared_ptr<MutterSession> session,
                               std::shared_ptr<SerialQueue> events)
    : pixelWidth_(pixelWidth),
      pixelHeight_(pixelHeight),
      pointsPerPixel_(pointsPerPixel),
      session_(std::move(session)),
      events_(std::move(events)) {}

VirtualMonitor::~VirtualMonitor() {
    stop();
}

void VirtualMonitor::attach(std::unique_ptr<PipeWireStream> stream) {
    stream_ = std::move(stream);
}

void VirtualMonitor::restartStream() {
    if (stream_ && !hasEnded() && !stream_->restart()) {
        log::get("gnome")->warn("{}", "the stream of " + spec_.connector + " did not resume");
    }
}

void VirtualMonitor::identify(DisplayID id, MonitorSpec spec) {
    id_ = id;
    spec_ = std::move(spec);
}

void VirtualMonitor::handleFrame(StreamFrame& frame) {
    Cursor cursor;
    {
        std::lock_guard lock(mutex_);
        if (frame.cursor.known) {
            cursor_.onMonitor = frame.cursor.onMonitor;
            if (frame.cursor.onMonitor) {
                cursor_.position =
                    Point{static_cast<double>(frame.cursor.x), static_cast<double>(frame.cursor.y)};
                cursor_.lastSeen = cursor_.position;
            } else {
                cursor_.position.reset();
            }
            if (frame.cursor.bitmap) cursor_.bitmap = frame.cursor.bitmap;
        }
        cursor = cursor_;
    }
    // Under the stream's lock (this runs in its handler).
    latest_.pixels = frame.pixels;
    latest_.width = frame.width;
    latest_.height = frame.height;
    latest_.stride = frame.stride;
    latest_.ptsNanos = frame.ptsNanos;
    if (sink_) sink_(frame, cursor);
}

void VirtualMonitor::setFrameSink(FrameSink sink) {
    if (!stream_) return;
    auto lock = stream_->lock();
    sink_ = std::move(sink);
    if (sink_ && latest_.pixels) {
        StreamFrame replay = latest_;
        replay.pictureChanged = true;
        sink_(replay, cursor());
    }
}

VirtualMonitor::Cursor VirtualMonitor::cursor() const {
    std::lock_guard lock(mutex_);
    return cursor_;
}

void VirtualMonitor::setEndedHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        if (!ended_) {
            onEnded_ = std::move(handler);
            return;
        }
        onEnded_ = nullptr;
    }
    if (handler) events_->post(std::move(handler));
}

void VirtualMonitor::ended() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        ended_ = true;
        handler = std::move(onEnded_);
    }
    if (handler) events_->post(std::move(handler));
}

bool VirtualMonitor::hasEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

void VirtualMonitor::stop() {
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        handler = std::move(onEnded_);
        onEnded_ = nullptr;
    }
    if (stream_) {
        {
            auto lock = stream_->lock();
            sink_ = nullptr;
            latest_ = StreamFrame{};
        }
        stream_->stop();
    }
    if (session_) session_->stop();
    // A capture still running hears of the end as of mutter's, as the X11 capture does.
    if (handler) events_->post(std::move(handler));
}

void VirtualMonitors::add(std::shared_ptr<VirtualMonitor> monitor) {
    std::lock_guard lock(mutex_);
    monitors_.insert(monitors_.begin(), std::move(monitor));
}

void VirtualMonitors::remove(DisplayID id) {
    std::shared_ptr<VirtualMonitor> removed;  // let go outside the lock
    std::lock_guard lock(mutex_);
    auto found = std::find_if(monitors_.begin(), monitors_.end(),
                              [id](const auto& m) { return m->id() == id; });
    if (found == monitors_.end()) return;
    removed = std::move(*found);
    monitors_.erase(found);
}

std::shared_ptr<VirtualMonitor> VirtualMonitors::find(DisplayID id) const {
    std::lock_guard lock(mutex_);
    for (const auto& m : monitors_) {
        if (m->id() == id) return m;
    }
    return nullptr;
}

std::vector<std::shared_ptr<VirtualMonitor>> VirtualMonitors::all() const {
    std::lock_guard lock(mutex_);
    return monitors_;
}

}  // namespace panelora
