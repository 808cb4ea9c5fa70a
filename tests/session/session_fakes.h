// Recording fakes of everything a Session reaches, and a tablet end of a socket pair.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/wire.h"
#include "session/session.h"
#include "support/manual_clock.h"

namespace panelora::test {

class FakeDisplays final : public VirtualDisplayBackend {
  public:
    struct Display final : PlatformVirtualDisplay {
        Display(FakeDisplays& owner, DisplayID id) : owner(owner), id(id) {}
        ~Display() override {
            std::lock_guard lock(owner.mutex);
            owner.alive.erase(id);
            ++owner.removed;
        }
        bool applySettings(const VirtualDisplaySettings& settings) override {
            std::lock_guard lock(owner.mutex);
            owner.lastSettings = settings;
            return owner.acceptSettings;
        }
        DisplayID displayID() const override { return id; }
        FakeDisplays& owner;
        DisplayID id;
    };

    std::unique_ptr<PlatformVirtualDisplay> create(const VirtualDisplayDescriptor&) override {
        std::lock_guard lock(mutex);
        if (refuse) return nullptr;
        DisplayID id = nextID++;
        alive.insert(id);
        return std::make_unique<Display>(*this, id);
    }

    bool isAlive(DisplayID id) {
        std::lock_guard lock(mutex);
        return alive.count(id) > 0;
    }

    std::mutex mutex;
    std::set<DisplayID> alive;
    int removed = 0;
    DisplayID nextID = 100;
    bool refuse = false;
    bool acceptSettings = true;
    VirtualDisplaySettings lastSettings;
};

class FakeCapture final : public CaptureBackend {
  public:
    struct Stream final : CaptureStream {
        explicit Stream(FakeCapture& owner) : owner(owner) {}
        void stop() override {
            std::lock_guard lock(owner.mutex);
            ++owner.streamsStopped;
        }
        FakeCapture& owner;
    };

    explicit FakeCapture(FakeDisplays& displays) : displays(displays) {}
    // Streams are stopped on threads of their own; wait for them before going away.
    ~FakeCapture() {
        for (int i = 0; i < 2500; ++i) {
            {
                std::lock_guard lock(mutex);
                if (streamsStopped >= streamsStarted) return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::vector<DisplayID> shareableDisplays(std::optional<Error>& error) override {
        if (queryError) error = Error{*queryError};
        std::lock_guard lock(displays.mutex);
        return {displays.alive.begin(), displays.alive.end()};
    }

    std::unique_ptr<CaptureStream> startStream(DisplayID, const CaptureConfiguration& config,
                                               std::shared_ptr<SerialQueue> queue, Callbacks cb,
                                               std::optional<Error>& error) override {
        std::lock_guard lock(mutex);
        if (startError) {
            error = Error{*startError};
            return nullptr;
        }
        configuration = config;
        captureQueue = std::move(queue);
        callbacks = std::move(cb);
        ++streamsStarted;
        return std::make_unique<Stream>(*this);
    }

    // Delivers one complete frame on the capture queue and waits for it to be handled.
    void deliverFrame(int64_t ptsNanos) {
        std::shared_ptr<SerialQueue> queue;
        Callbacks cb;
        {
            std::lock_guard lock(mutex);
            queue = captureQueue;
            cb = callbacks;
        }
        CaptureSample sample;
        sample.status = FrameStatus::complete;
        sample.image = std::make_shared<Nv12Buffer>(16, 16);
        sample.ptsNanos = ptsNanos;
        queue->post([cb, sample] { cb.onSample(sample); });
        queue->flush();
    }

    FakeDisplays& displays;
    std::mutex mutex;
    std::optional<std::string> queryError;
    std::optional<std::string> startError;
    CaptureConfiguration configuration;
    std::shared_ptr<SerialQueue> captureQueue;
    Callbacks callbacks;
    int streamsStarted = 0;
    int streamsStopped = 0;
};

class FakeCodecs final : public VideoCodecFactory {
  public:
    struct Submission {
        bool forceKey;
        int64_t ptsNanos;
        VideoCodec::Completion completion;
    };
    struct Codec final : VideoCodec {
        explicit Codec(FakeCodecs& owner) : owner(owner) {}
        bool encode(const ImageBufferRef&, int64_t pts, bool forceKey,
                    Completion completion) override {
            std::lock_guard lock(owner.mutex);
            if (owner.broken) return false;
            owner.submissions.push_back({forceKey, pts, std::move(completion)});
            return true;
        }
        void invalidate() override {
            std::lock_guard lock(owner.mutex);
            ++owner.invalidated;
        }
        FakeCodecs& owner;
    };

    std::unique_ptr<VideoCodec> create(const VideoCodecSettings&) override {
        if (refuse) return nullptr;
        return std::make_unique<Codec>(*this);
    }

    std::vector<Submission> takeSubmissions() {
        std::lock_guard lock(mutex);
        return std::exchange(submissions, {});
    }

    std::mutex mutex;
    bool refuse = false;
    bool broken = false;  // created codecs refuse every frame
    int invalidated = 0;
    std::vector<Submission> submissions;
};

class RecordingInput final : public SessionInput {
  public:
    void resetInjectionState() override { record("reset"); }
    void injectTouch(uint8_t phase, DisplayID display, float x, float y) override {
        record("touch " + std::to_string(phase) + " " + std::to_string(display) + " " +
               std::to_string(x) + " " + std::to_string(y));
    }
    void injectScroll(float dx, float dy) override {
        record("scroll " + std::to_string(dx) + " " + std::to_string(dy));
    }
    void injectKey(const KeyEvent& e) override {
        record("key " + std::to_string(e.usage) + (e.isDown ? " down " : " up ") +
               std::to_string(e.modifiers.rawValue));
    }
    void releaseAllKeys() override { record("releaseAll"); }
    void releaseHeldButton() override { record("releaseHeldButton"); }

    std::vector<std::string> calls() {
        std::lock_guard lock(mutex);
        return log;
    }
    void record(std::string call) {
        std::lock_guard lock(mutex);
        log.push_back(std::move(call));
    }

    std::mutex mutex;
    std::vector<std::string> log;
};

struct FakeTracker final : SessionCursorTracker {
    void start() override { ++started; }
    void stop() override { ++stopped; }
    std::atomic<int> started{0};
    std::atomic<int> stopped{0};
};

struct FakeArrangement final : SessionArrangement {
    void start() override { calls.push_back("start"); }
    void move(DisplayArrangement::Side side) override {
        calls.push_back(side == DisplayArrangement::Side::left ? "move left" : "move right");
    }
    void unregister() override { calls.push_back("unregister"); }
    std::vector<std::string> calls;  // main queue only
};

// The tablet's end of the connection.
struct Tablet {
    int fd = -1;
    ~Tablet() {
        if (fd >= 0) close(fd);
    }
    void send(Wire::PacketType type, std::vector<uint8_t> payload) {
        auto bytes = Wire::packet(type, payload);
        sendRaw(bytes);
    }
    void sendRaw(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    void sendHello(uint16_t width, uint16_t height, uint8_t maxFPS, uint8_t flags,
                   uint8_t version) {
        std::vector<uint8_t> payload;
        appendU16BE(payload, width);
        appendU16BE(payload, height);
        payload.push_back(maxFPS);
        payload.push_back(flags);
        payload.push_back(version);
        send(Wire::PacketType::hello, payload);
    }
};

// A session on one end of a socket pair, with every fake wired in and the statistics, the
// key-frame fallback and the main queue on a manual clock.
struct SessionRig {
    ManualClock clock;
    FakeDisplays displays;
    FakeCapture capture{displays};
    FakeCodecs codecs;
    std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
    std::shared_ptr<SerialQueue> mainQueue = clock.makeQueue("main");
    std::shared_ptr<FakeTracker> tracker;
    std::shared_ptr<FakeArrangement> arrangement;
    std::atomic<int> endedCalls{0};
    std::shared_ptr<Session> session;
    Tablet tablet;
    int sessionFd = -1;

    SessionRig() {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        sessionFd = fds[0];
        tablet.fd = fds[1];
        SessionEnvironment env;
        env.displays = &displays;
        env.capture = &capture;
        env.codecs = &codecs;
        env.input = input;
        env.makeCursorTracker = [this](DisplayID, int64_t, SessionEnvironment::PacketSender) {
            tracker = std::make_shared<FakeTracker>();
            return tracker;
        };
        env.makeArrangement = [this](DisplayID) {
            arrangement = std::make_shared<FakeArrangement>();
            return arrangement;
        };
        env.activity = SessionEnvironment::noActivity();
        env.clock = &clock;
        env.mainQueue = mainQueue;
        env.makeQueue = [this](const char* label, QueuePriority priority) {
            if (std::string(label) == "slatecast.send") {
                return SerialQueue::create(label, priority);
            }
            return clock.makeQueue(label);
        };
        env.helloTimeout = std::chrono::milliseconds(100);
        session = Session::create(sessionFd, std::move(env));
        session->setOnEnded([this] { ++endedCalls; });
    }

    // The session's threads hold it beyond the rig; end it while the fakes still exist.
    ~SessionRig() {
        if (!session) return;
        session->stop();
        for (int i = 0; i < 1000 && !session->socketClosed(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
};

}  // namespace panelora::test
