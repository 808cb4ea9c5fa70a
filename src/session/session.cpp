#include "session/session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "protocol/hello_reader.h"
#include "protocol/packet_reader.h"
#include "support/log.h"
#include "support/posix_platform.h"
#include "transport/socket_io.h"

namespace panelora {
namespace {

constexpr Duration kStatsInterval = std::chrono::seconds(1);
constexpr const char* kActivityReason = "Streaming a display to a tablet";

std::atomic<int> liveSessionCount{0};

void setTimeout(int fd, int option, int seconds) {
    timeval tv{seconds, 0};
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// The tunnelled socket may be TCP (a relayed daemon) or a Unix socket; Nagle only exists on the
// former, and failing to turn it off must not fail the session.
void disableNagleIfTcp(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return;
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

std::string Session::description(SessionError error) {
    switch (error) {
        case SessionError::noVirtualDisplay:
            return "Couldn't create the virtual display";
        case SessionError::noEncoder:
            return "Couldn't start the video encoder";
        case SessionError::ended:
            return "The tablet disconnected";
    }
    return {};
}

std::string Session::StartError::description() const {
    if (auto* own = std::get_if<SessionError>(&error)) return Session::description(*own);
    return std::get<ScreenCapturer::CaptureError>(error).description();
}

int Session::liveSessions() {
    return liveSessionCount.load();
}

std::shared_ptr<Session> Session::create(int fd, SessionEnvironment environment) {
    return std::shared_ptr<Session>(new Session(fd, std::move(environment)));
}

Session::Session(int fd, SessionEnvironment environment)
    : env_(std::move(environment)),
      fd_(fd),
      sendQueue_(makeQueue("panelora.send", QueuePriority::userInteractive)) {
    ++liveSessionCount;
}

std::shared_ptr<SerialQueue> Session::makeQueue(const char* label, QueuePriority priority) const {
    return env_.makeQueue ? env_.makeQueue(label, priority)
                          : SessionEnvironment::realQueue(label, priority);
}

Session::~Session() {
    --liveSessionCount;
    if (reader_.joinable()) {
        if (reader_.get_id() == std::this_thread::get_id()) {
            reader_.detach();  // the reader let go of the last reference on its way out
        } else {
            reader_.join();
        }
    }
    // A session dropped without stop() still must not leak its socket.
    std::lock_guard lock(lock_);
    if (!socketClosed_ && socketHolds_ > 0) close(fd_);
}

StreamProfile Session::profile() const {
    std::lock_guard lock(lock_);
    return profile_;
}

DisplayID Session::displayID() const {
    std::lock_guard lock(lock_);
    return displayID_;
}

void Session::setOnEnded(std::function<void()> handler) {
    std::lock_guard lock(lock_);
    onEnded_ = std::move(handler);
}

void Session::setOnStats(std::function<void(const Stats&)> handler) {
    std::lock_guard lock(lock_);
    onStats_ = std::move(handler);
}

bool Session::hasEnded() const {
    std::lock_guard lock(lock_);
    return ended_;
}

int64_t Session::pendingBytes() const {
    std::lock_guard lock(lock_);
    return pendingBytes_;
}

bool Session::socketClosed() const {
    std::lock_guard lock(lock_);
    return socketClosed_;
}

// ---- End path ----

void Session::stop() {
    std::shared_ptr<SessionCursorTracker> tracker;
    std::shared_ptr<SessionArrangement> arrangement;
    std::shared_ptr<TimerSource> timer;
    std::shared_ptr<void> activity;
    std::unique_ptr<VirtualDisplay> display;
    std::shared_ptr<ScreenCapturer> capturer;
    std::shared_ptr<H264Encoder> encoder;
    bool releaseReaderShare = false;
    std::function<void()> onEnded;
    {
        std::lock_guard lock(lock_);
        if (ended_) return;
        ended_ = true;
        onEnded = onEnded_;
        tracker = std::move(cursorTracker_);
        arrangement = std::move(arrangement_);
        timer = std::move(statsTimer_);
        activity = std::move(activity_);
        display = std::move(display_);
        // No reader and no start() holding its share: nobody else will release it.
        releaseReaderShare = !readerStarted_ && !starting_;
        capturer = capturer_;
        encoder = encoder_;
    }
    if (tracker) tracker->stop();
    if (arrangement && env_.mainQueue) {
        env_.mainQueue->post([arrangement] { arrangement->unregister(); });
    }
    if (timer) timer->cancel();
    activity.reset();
    // stopCapture() also catches a capture whose start is still running: it is stopped as soon
    // as the start has it, and the start fails.
    if (capturer) capturer->stopCapture();
    if (encoder) encoder->invalidate();
    if (env_.input) env_.input->releaseAllKeys();
    shutdown(fd_, SHUT_RDWR);
    // Behind every write queued before the end; holds the session until it has run.
    sendQueue_->post([self = shared_from_this()] { self->releaseSocketHold(); });
    if (releaseReaderShare) releaseSocketHold();
    if (onEnded) onEnded();
    // The virtual display goes last, after the owner has heard of the end. The session counts
    // as live until it is gone.
    tracker.reset();
    arrangement.reset();
    if (display && env_.displayRelease) {
        env_.displayRelease->post(
            [self = shared_from_this(), display = std::shared_ptr<VirtualDisplay>(
                                            std::move(display))]() mutable { display.reset(); });
    }
    display.reset();
}

void Session::releaseSocketHold() {
    int64_t before;
    {
        std::lock_guard lock(lock_);
        before = socketHolds_--;
    }
    if (before == 1) {
        close(fd_);
        std::lock_guard lock(lock_);
        socketClosed_ = true;
    }
}

void Session::moveDisplay(DisplayArrangement::Side side) {
    std::shared_ptr<SessionArrangement> arrangement;
    {
        std::lock_guard lock(lock_);
        arrangement = arrangement_;
    }
    if (arrangement && env_.mainQueue) {
        env_.mainQueue->post([arrangement, side] { arrangement->move(side); });
    }
}

// ---- Send path ----

void Session::handle(const H264Encoder::Output& output) {
    bool drop = false;
    bool askForKey = false;
    {
        std::lock_guard lock(lock_);
        int64_t pending = pendingBytes_;
        if (pending > maxPendingBytes) waitingForKey_ = true;
        if (output.isKey) waitingForKey_ = false;
        if (waitingForKey_) {
            ++dropped_;
            drop = true;
            // A key frame is admitted whatever the backlog, so asking for one while the backlog
            // is still over the limit would only pile key frames onto a link that cannot take
            // them (every other frame a key frame, the backlog growing without bound). Ask once
            // the backlog is back within the limit: now, or when the writes have drained it.
            askForKey = pending <= maxPendingBytes;
            keyAwaitsDrain_ = !askForKey;
        }
        backlogMax_ = std::max(backlogMax_, pending);
    }
    if (drop) {
        if (askForKey && encoder_) encoder_->requestKeyframe();
        return;
    }

    std::vector<uint8_t> buffer;
    if (output.isKey && output.sps && output.pps) {
        auto joined =
            Wire::configAndFramePackets(*output.sps, *output.pps, output.ptsMicros, output.avcc);
        if (!joined) {
            // No H.264 encoder makes a parameter set of 64 KiB; one that does is broken, and a
            // key frame the tablet cannot configure would only freeze the picture. End the
            // session so that the next one starts with a fresh encoder.
            log::get("session")->error("{}",
                                       "Parameter set too large for the wire; ending the session");
            stop();
            return;
        }
        buffer = std::move(*joined);
    } else {
        buffer = Wire::framePacket(output.isKey, output.ptsMicros, output.avcc);
    }

    {
        std::lock_guard lock(lock_);
        auto size = static_cast<int64_t>(buffer.size());
        pendingBytes_ += size;
        bytes_ += size;
        ++frames_;
        encodeSum_ += output.encodeLatencyMs;
        encodeMax_ = std::max(encodeMax_, output.encodeLatencyMs);
    }
    std::weak_ptr<Session> weak = weak_from_this();
    sendQueue_->post([weak, buffer = std::move(buffer)] {
        if (auto self = weak.lock()) self->writeFrame(buffer);
    });
}

void Session::writeFrame(const std::vector<uint8_t>& buffer) {
    auto size = static_cast<int64_t>(buffer.size());
    if (hasEnded()) {
        std::lock_guard lock(lock_);
        pendingBytes_ -= size;
        return;
    }
    bool written = writeAll(fd_, buffer);
    bool askForKey = false;
    {
        std::lock_guard lock(lock_);
        // A still screen captures no new frame whose drop would ask: the drain itself does.
        if (written && keyAwaitsDrain_ && pendingBytes_ - size <= maxPendingBytes) {
            keyAwaitsDrain_ = false;
            askForKey = waitingForKey_;
        }
    }
    // Asked before the backlog shows the drain, so that whoever sees it drained sees the request.
    if (askForKey && encoder_) encoder_->requestKeyframe();
    {
        std::lock_guard lock(lock_);
        pendingBytes_ -= size;
    }
    if (!written) stop();
}

void Session::sendPacket(Wire::PacketType type, std::span<const uint8_t> payload) {
    std::weak_ptr<Session> weak = weak_from_this();
    sendQueue_->post([weak, packet = Wire::packet(type, payload)] {
        if (auto self = weak.lock()) self->writeControl(packet);
    });
}

void Session::writeControl(const std::vector<uint8_t>& buffer) {
    if (hasEnded()) return;
    if (!writeAll(fd_, buffer)) stop();
}

// ---- Receive path ----

void Session::readLoop() {
    Wire::PacketReader reader(fd_);
    while (auto packet = reader.next())
        dispatch(*packet);
    // A tablet gone mid-drag must not leave the button held. The injectors belong to this
    // thread, so it is done here rather than in stop().
    env_.input->releaseHeldButton();
    stop();
    releaseSocketHold();
}

void Session::dispatch(const Wire::Packet& packet) {
    auto type = packet.type();
    if (!type) return;
    DisplayID display;
    int64_t version;
    {
        std::lock_guard lock(lock_);
        display = displayID_;
        version = peerVersion_;
    }
    switch (*type) {
        case Wire::PacketType::touch:
            if (auto touch = Wire::parseTouch(packet.payload)) {
                env_.input->injectTouch(touch->phase, display, touch->x, touch->y);
            }
            break;
        case Wire::PacketType::keyRequest:
            if (encoder_) encoder_->requestKeyframe();
            break;
        case Wire::PacketType::pong:
            if (auto echoed = Wire::parsePong(packet.payload)) {
                int64_t now = env_.clock->uptimeNanos();
                double rtt = Wire::roundTripMillis(static_cast<uint64_t>(now / 1000), *echoed);
                std::lock_guard lock(lock_);
                rtts_.push_back(rtt);
                lastPongNanos_ = now;
            }
            break;
        case Wire::PacketType::key:
            if (version >= 2) {
                if (auto key = Wire::parseKey(packet.payload)) env_.input->injectKey(*key);
            }
            break;
        case Wire::PacketType::scroll:
            if (version >= 2) {
                if (auto scroll = Wire::parseScroll(packet.payload)) {
                    env_.input->injectScroll(scroll->dx, scroll->dy);
                }
            }
            break;
        default:
            break;  // the computer's own types and a late hello are dropped
    }
}

// ---- Keep-alive and statistics ----

std::shared_ptr<TimerSource> Session::makeStatsTimer() {
    auto queue = makeQueue("panelora.stats", QueuePriority::normal);
    std::weak_ptr<Session> weak = weak_from_this();
    auto timer = TimerSource::create(queue, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    timer->schedule(kStatsInterval, kStatsInterval, Duration::zero());
    return timer;
}

void Session::tick() {
    Stats stats;
    int64_t backlogMax = 0;
    int64_t skipped = 0;
    bool deadLink = false;
    std::function<void(const Stats&)> onStats;
    {
        std::lock_guard lock(lock_);
        onStats = onStats_;
        stats.fps = frames_;
        stats.mbps = static_cast<double>(bytes_) * 8.0 / 1'000'000.0;
        stats.encodeAvgMs = frames_ > 0 ? encodeSum_ / static_cast<double>(frames_) : 0;
        stats.encodeMaxMs = encodeMax_;
        if (!rtts_.empty()) {
            double sum = 0;
            double max = rtts_.front();
            for (double rtt : rtts_) {
                sum += rtt;
                max = std::max(max, rtt);
            }
            stats.linkAvgMs = sum / static_cast<double>(rtts_.size());
            stats.linkMaxMs = max;
        }
        stats.dropped = dropped_;
        backlogMax = backlogMax_;
        if (encoder_) {
            std::lock_guard encoderLock(encoder_->lock);
            skipped = encoder_->skipped;
            encoder_->skipped = 0;
        }
        frames_ = bytes_ = dropped_ = backlogMax_ = 0;
        encodeSum_ = encodeMax_ = 0;
        rtts_.clear();
        if (lastPongNanos_) {
            deadLink = env_.clock->uptimeNanos() - *lastPongNanos_ > env_.keepAliveTimeout.count();
        }
    }
    if (deadLink) {
        log::get("stats")->error("{}", "The tablet stopped answering pings; ending the session");
        stop();
        return;
    }
    stats.dropped += skipped;
    stats.backlogKB = backlogMax / 1000;
    log::get("stats")->info("{} · backlog {} KB", stats.summary(), stats.backlogKB);
    if (onStats) onStats(stats);
    sendPacket(Wire::PacketType::ping, Wire::pingPayload(env_.clock->uptimeMicros()));
}

// ---- Start-up ----

bool Session::checkEnded() {
    std::lock_guard lock(lock_);
    return ended_;
}

std::optional<Session::StartError> Session::fail(SessionError error) {
    return StartError{error};
}

std::optional<Session::StartError> Session::start(bool preferSmooth, std::optional<double> scale) {
    // While start() runs it holds the reader's share of the socket, so that a stop() from
    // another thread cannot close the descriptor under it (the number could by then belong to
    // another connection). The share passes to the reader thread, or is released on the way out.
    {
        std::lock_guard lock(lock_);
        if (ended_ || startCalled_) return fail(SessionError::ended);
        startCalled_ = true;
        starting_ = true;
    }
    auto result = startSteps(preferSmooth, scale);
    bool releaseReaderShare;
    {
        std::lock_guard lock(lock_);
        starting_ = false;
        releaseReaderShare = ended_ && !readerStarted_;
    }
    if (releaseReaderShare) releaseSocketHold();
    return result;
}

std::optional<Session::StartError> Session::startSteps(bool preferSmooth,
                                                       std::optional<double> scale) {
    setTimeout(fd_, SO_SNDTIMEO, 5);
    disableNagleIfTcp(fd_);
    env_.input->resetInjectionState();

    Wire::HelloOutcome outcome = Wire::readHello(fd_, env_.helloTimeout);
    if (checkEnded()) return fail(SessionError::ended);
    // The handshake stopped inside a packet (or the tablet went away): the stream can no longer
    // be read as packets, so the session cannot go on.
    if (outcome.kind == Wire::HelloOutcome::Kind::streamBroken) return fail(SessionError::ended);
    const std::optional<Hello> hello = outcome.hello;

    StreamProfile profile = hello ? StreamProfile::negotiate(hello->pixelWidth, hello->pixelHeight,
                                                             hello->maxFPS, preferSmooth, scale)
                                  : StreamProfile::fallback;
    {
        std::lock_guard lock(lock_);
        peerVersion_ = hello ? hello->version : 1;
        profile_ = profile;
    }

    // A display still being released (the last session's) would find the desktop changing.
    if (env_.displayRelease) env_.displayRelease->flush();
    auto display = VirtualDisplay::create(*env_.displays, profile, 1);
    if (!display) return fail(SessionError::noVirtualDisplay);
    DisplayID displayID = display->displayID();
    {
        std::lock_guard lock(lock_);
        if (ended_) return fail(SessionError::ended);
        display_ = std::move(display);
        displayID_ = displayID;
    }

    auto encoder = H264Encoder::create(
        *env_.codecs, profile, *env_.clock,
        makeQueue("panelora.keyframe-fallback", QueuePriority::userInteractive));
    if (!encoder) return fail(SessionError::noEncoder);
    {
        std::lock_guard lock(lock_);
        if (ended_) {
            encoder->invalidate();
            return fail(SessionError::ended);
        }
        encoder_ = encoder;
    }
    std::weak_ptr<Session> weak = weak_from_this();
    encoder->onOutput = [weak](const H264Encoder::Output& output) {
        if (auto self = weak.lock()) self->handle(output);
    };
    // A broken codec would leave the tablet on a frozen picture that the keep-alive never
    // notices; ending the session lets the next one start with a fresh encoder.
    encoder->onFailure = [weak] {
        log::get("session")->error("{}", "The video encoder failed; ending the session");
        if (auto self = weak.lock()) self->stop();
    };

    std::weak_ptr<H264Encoder> weakEncoder = encoder;
    auto capturer = ScreenCapturer::create(
        *env_.capture,
        [weakEncoder](const ImageBufferRef& image, int64_t ptsNanos) {
            if (auto e = weakEncoder.lock()) e->encode(image, ptsNanos);
        },
        *env_.clock);
    capturer->onStopped = [weak] {
        if (auto self = weak.lock()) self->stop();
    };
    {
        std::lock_guard lock(lock_);
        if (ended_) {
            capturer->stopCapture();
            return fail(SessionError::ended);
        }
        capturer_ = capturer;
    }

    bool showsCursor = !(hello && hello->clientCursor);
    if (auto error = capturer->start(displayID, profile, showsCursor)) {
        if (checkEnded()) return fail(SessionError::ended);
        return StartError{*error};
    }
    if (checkEnded()) return fail(SessionError::ended);

    if (hello && hello->clientCursor && env_.makeCursorTracker) {
        auto tracker =
            env_.makeCursorTracker(displayID, profile.logicalWidth,
                                   [weak](Wire::PacketType type, std::vector<uint8_t> payload) {
                                       if (auto self = weak.lock()) self->sendPacket(type, payload);
                                   });
        {
            std::lock_guard lock(lock_);
            if (ended_) {
                tracker->stop();
                return fail(SessionError::ended);
            }
            cursorTracker_ = tracker;
        }
        tracker->start();
    }

    if (env_.makeArrangement) {
        auto arrangement = env_.makeArrangement(displayID);
        {
            std::lock_guard lock(lock_);
            if (ended_) return fail(SessionError::ended);
            arrangement_ = arrangement;
        }
        if (env_.mainQueue) env_.mainQueue->post([arrangement] { arrangement->start(); });
    }

    auto timer = makeStatsTimer();
    auto activity = env_.activity ? env_.activity->begin(kActivityReason) : nullptr;
    {
        std::lock_guard lock(lock_);
        if (ended_) {
            timer->resume();
            timer->cancel();
            return fail(SessionError::ended);
        }
        statsTimer_ = timer;
        activity_ = activity;
    }
    timer->resume();
    try {
        reader_ = std::thread([self = shared_from_this()] {
            posix::nameCurrentThread("panelora.reader");
            posix::prioritizeCurrentThread(QueuePriority::userInteractive);
            self->readLoop();
        });
    } catch (const std::system_error&) {
        return fail(SessionError::ended);  // no thread to be had; the owner's stop() ends it
    }
    std::lock_guard lock(lock_);
    readerStarted_ = true;
    return std::nullopt;
}

}  // namespace panelora
