// Session: one streaming connection to one tablet over one connected socket.
//
// Owned by the Controller (held strongly while it streams); everything the session hands to
// other objects holds it weakly. Threads: start() blocks on the caller's worker thread; the
// reader thread runs readLoop(); every socket write runs on the serial "panelora.send" queue;
// the one-second tick runs on "panelora.stats"; handle() runs on the codec's output thread.
// stop() is the single end path for every cause: idempotent, safe from any thread, calls
// `onEnded` once. One lock (`lock_`) guards the mutable fields; it is never held across I/O or a
// callback, and the only nested acquisition is the tick's (session lock, then encoder lock).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "protocol/packet_reader.h"
#include "protocol/stream_profile.h"
#include "protocol/wire.h"
#include "session/session_environment.h"
#include "session/session_stats.h"
#include "support/timer_source.h"
#include "video/h264_encoder.h"
#include "video/screen_capturer.h"
#include "video/virtual_display.h"

namespace panelora {

class Session : public std::enable_shared_from_this<Session> {
  public:
    enum class SessionError { noVirtualDisplay = 0, noEncoder = 1, ended = 2 };
    static std::string description(SessionError error);

    // Why start() failed: the session's own error, or the capturer's, unchanged.
    struct StartError {
        std::variant<SessionError, ScreenCapturer::CaptureError> error;
        std::string description() const;
    };

    using Stats = SessionStats;

    // The session owns `fd` from now on and closes it after stop().
    static std::shared_ptr<Session> create(int fd, SessionEnvironment environment);
    ~Session();

    // Called once, on whichever thread ends the session. Set by the owner before start().
    void setOnEnded(std::function<void()> handler);
    // Called once a second on the statistics queue. Safe to set at any time, also while the
    // statistics already run (the owner sets it once start() has succeeded).
    void setOnStats(std::function<void(const Stats&)> handler);

    static constexpr int64_t maxPendingBytes = 3'000'000;

    // Blocks until the session streams; nothing on success. Called once.
    std::optional<StartError> start(bool preferSmooth, std::optional<double> scale);
    void stop();
    void moveDisplay(DisplayArrangement::Side side);

    // Sessions not yet destroyed in this process: one whose end ran on its own thread may still
    // be finishing stop() after its owner let go, or releasing its display. The shell waits for
    // 0 before it takes the platform backends away.
    static int liveSessions();

    StreamProfile profile() const;
    DisplayID displayID() const;
    bool hasEnded() const;

    // Send path: one encoder output (codec output thread), one control packet (any thread).
    void handle(const H264Encoder::Output& output);
    void sendPacket(Wire::PacketType type, std::span<const uint8_t> payload);

    // The statistics tick; normally run by the timer on "panelora.stats".
    void tick();

    // For tests: bytes queued for writing and not yet written or discarded.
    int64_t pendingBytes() const;
    // For tests: the socket descriptor has been closed.
    bool socketClosed() const;

  private:
    Session(int fd, SessionEnvironment environment);

    void releaseSocketHold();
    void readLoop();
    void dispatch(const Wire::Packet& packet);
    void writeFrame(const std::vector<uint8_t>& buffer);
    void writeControl(const std::vector<uint8_t>& buffer);
    std::shared_ptr<TimerSource> makeStatsTimer();
    std::optional<StartError> fail(SessionError error);
    std::optional<StartError> startSteps(bool preferSmooth, std::optional<double> scale);
    bool checkEnded();  // takes the lock; true when the session has ended
    std::shared_ptr<SerialQueue> makeQueue(const char* label, QueuePriority priority) const;

    const SessionEnvironment env_;
    const int fd_;
    std::shared_ptr<SerialQueue> sendQueue_;
    std::thread reader_;

    mutable std::mutex lock_;
    // Guarded by lock_.
    std::function<void()> onEnded_;
    std::function<void(const Stats&)> onStats_;
    StreamProfile profile_ = StreamProfile::fallback;
    bool ended_ = false;
    std::unique_ptr<VirtualDisplay> display_;
    DisplayID displayID_ = 0;
    std::shared_ptr<SessionCursorTracker> cursorTracker_;
    std::shared_ptr<SessionArrangement> arrangement_;
    std::shared_ptr<TimerSource> statsTimer_;
    std::shared_ptr<void> activity_;
    bool startCalled_ = false;
    bool starting_ = false;  // start() is running and holds the reader's share of the socket
    bool readerStarted_ = false;
    int64_t socketHolds_ = 2;
    bool socketClosed_ = false;
    std::optional<int64_t> lastPongNanos_;  // monotonic: wall-clock jumps neither kill nor keep
    int64_t peerVersion_ = 1;
    int64_t pendingBytes_ = 0;
    bool waitingForKey_ = true;
    bool keyAwaitsDrain_ = false;  // a drop over the limit has not asked for its key frame yet
    int64_t frames_ = 0;
    int64_t bytes_ = 0;
    int64_t dropped_ = 0;
    int64_t backlogMax_ = 0;
    double encodeSum_ = 0;
    double encodeMax_ = 0;
    std::vector<double> rtts_;
    // Written under the lock during start(), never cleared; read without it afterwards.
    std::shared_ptr<H264Encoder> encoder_;
    std::shared_ptr<ScreenCapturer> capturer_;
};

}  // namespace panelora
