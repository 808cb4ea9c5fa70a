// Recording fakes of the video seams: virtual displays, capture and codecs. The session and
// video tests drive them; every field a test sets or reads while other threads run is guarded by
// the fake's mutex.
#pragma once

#include <climits>

#include "test_prelude.h"
#include "video/h264_encoder.h"
#include "video/screen_capturer.h"
#include "video/virtual_display.h"

namespace panelora::test {

inline ImageBufferRef makeImage(int32_t width = 16, int32_t height = 16) {
    return std::make_shared<Nv12Buffer>(width, height);
}

// Displays numbered in creation order from 100, alive while their object exists.
class FakeDisplays final : public VirtualDisplayBackend {
  public:
    std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) override {
        std::lock_guard lock(mutex);
        descriptors.push_back(descriptor);
        if (refuse) return nullptr;
        alive.insert(nextID);
        return std::make_unique<Display>(*this, nextID++);
    }
    bool isAlive(DisplayID id) {
        std::lock_guard lock(mutex);
        return alive.count(id);
    }
    size_t aliveCount() {
        std::lock_guard lock(mutex);
        return alive.size();
    }

    std::mutex mutex;
    std::set<DisplayID> alive;
    DisplayID nextID = 100;
    std::vector<VirtualDisplayDescriptor> descriptors;  // every create(), refused ones too
    std::vector<VirtualDisplaySettings> settings;       // every applySettings()
    bool refuse = false;
    bool refuseSettings = false;

  private:
    struct Display final : PlatformVirtualDisplay {
        Display(FakeDisplays& owner, DisplayID id) : owner(owner), id(id) {}
        ~Display() override {
            std::lock_guard lock(owner.mutex);
            owner.alive.erase(id);
        }
        bool applySettings(const VirtualDisplaySettings& s) override {
            std::lock_guard lock(owner.mutex);
            owner.settings.push_back(s);
            return !owner.refuseSettings;
        }
        DisplayID displayID() const override { return id; }
        FakeDisplays& owner;
        DisplayID id;
    };
};

// Lists the main display 1 and, from query `appearOnQuery` on (0: never), the displays alive in
// `displays` or else `display`. Streams record their stops; samples are delivered on the queue
// the capturer gave, as the platform does.
class FakeCapture final : public CaptureBackend {
  public:
    explicit FakeCapture(FakeDisplays* displays = nullptr) : displays_(displays) {}
    // Streams are stopped and destroyed on threads of their own, and count into this object
    // until they are gone: wait for their destruction, not just their stop, before going away.
    ~FakeCapture() override {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(5),
                         [&] { return streamsDestroyed >= streamsStarted; });
    }

    DisplayID display = 7;
    int appearOnQuery = 1;
    std::optional<std::string> queryError;  // given on query `errorOnQuery`
    int errorOnQuery = 1;
    std::optional<std::string> startError;
    std::function<void()> onQuery;      // runs inside every query
    std::function<void()> duringStart;  // runs inside startStream()
    std::atomic<int> queries{0};

    std::mutex mutex;
    std::condition_variable changed;
    int streamsStarted = 0;
    int stops = 0;
    int streamsDestroyed = 0;
    std::optional<CaptureConfiguration> configuration;
    DisplayID startedDisplay = 0;
    std::shared_ptr<SerialQueue> queue;
    Callbacks callbacks;

    std::vector<DisplayID> shareableDisplays(std::string* why) override {
        const int query = ++queries;
        if (onQuery) onQuery();
        if (queryError && query == errorOnQuery) {
            if (why) *why = *queryError;
            return {};
        }
        std::vector<DisplayID> ids{1};
        if (appearOnQuery > 0 && query >= appearOnQuery) {
            if (displays_) {
                std::lock_guard lock(displays_->mutex);
                ids.insert(ids.end(), displays_->alive.begin(), displays_->alive.end());
            } else {
                ids.push_back(display);
            }
        }
        return ids;
    }

    std::unique_ptr<CaptureStream> startStream(DisplayID d, const CaptureConfiguration& c,
                                               std::shared_ptr<SerialQueue> q, Callbacks cb,
                                               std::string* why) override {
        {
            std::lock_guard lock(mutex);
            startedDisplay = d;
            configuration = c;
            queue = std::move(q);
            callbacks = std::move(cb);
        }
        if (duringStart) duringStart();
        if (startError) {
            if (why) *why = *startError;
            return nullptr;
        }
        std::lock_guard lock(mutex);
        ++streamsStarted;
        return std::make_unique<Stream>(*this);
    }

    // Delivers a sample on the capture queue and waits until it has been handled.
    void deliver(const CaptureSample& sample) {
        std::unique_lock lock(mutex);
        const auto q = queue;
        const auto onSample = callbacks.onSample;
        lock.unlock();
        q->post([onSample, sample] { onSample(sample); });
        q->flush();
    }
    void deliverFrame(int64_t ptsNanos) {
        deliver(CaptureSample{true, FrameStatus::complete, makeImage(), ptsNanos});
    }
    // Until the stream has been stopped and destroyed.
    bool waitStopped(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return stops > 0 && streamsDestroyed > 0; });
    }

  private:
    struct Stream final : CaptureStream {
        explicit Stream(FakeCapture& owner) : owner(owner) {}
        ~Stream() override { owner.count(owner.streamsDestroyed); }
        void stop() override { owner.count(owner.stops); }
        FakeCapture& owner;
    };
    void count(int& counter) {
        std::lock_guard lock(mutex);
        ++counter;
        changed.notify_all();
    }

    FakeDisplays* displays_;
};

// Codecs that record every frame handed to them; the test completes the frames in any order, the
// way a codec's output thread would.
class FakeCodecs final : public VideoCodecFactory {
  public:
    struct Submission {
        ImageBufferRef image;
        int64_t ptsNanos = 0;
        bool forceKey = false;
    };

    std::unique_ptr<VideoCodec> create(const VideoCodecSettings& s) override {
        std::lock_guard lock(mutex);
        settings = s;
        if (refuse) return nullptr;
        return std::make_unique<Codec>(*this);
    }

    size_t count() {
        std::lock_guard lock(mutex);
        return submissions.size();
    }
    Submission at(size_t index) {
        std::lock_guard lock(mutex);
        return submissions.at(index);
    }
    // Accepted frames not yet completed.
    std::vector<size_t> open() {
        std::lock_guard lock(mutex);
        std::vector<size_t> result;
        for (size_t i = 0; i < completions.size(); ++i)
            if (completions[i]) result.push_back(i);
        return result;
    }
    void complete(size_t index, std::optional<EncodedSample> sample) {
        VideoCodec::Completion completion;
        {
            std::lock_guard lock(mutex);
            completion = std::exchange(completions.at(index), nullptr);
            if (completion) inside -= 1;
        }
        if (completion) completion(std::move(sample));
    }
    void completeOk(size_t index, bool key = false) {
        using Set = std::optional<std::vector<uint8_t>>;
        complete(index, EncodedSample{!key,
                                      {0, 0, 0, 1, uint8_t(key ? 0x65 : 0x41)},
                                      key ? Set{{0x67}} : Set{},
                                      key ? Set{{0x68}} : Set{},
                                      at(index).ptsNanos});
    }
    void fail(size_t index) { complete(index, std::nullopt); }
    void refuseFrames(int count) {
        std::lock_guard lock(mutex);
        refuseNext = count;
    }

    std::mutex mutex;
    std::optional<VideoCodecSettings> settings;
    bool refuse = false;                  // create() yields nothing
    int refuseNext = 0;                   // encode() refuses this many coming frames (INT_MAX: all)
    int64_t atOnce = 2;                   // framesEncodedAtOnce()
    std::vector<Submission> submissions;  // accepted and refused, in call order
    std::vector<VideoCodec::Completion> completions;  // empty once completed or refused
    int inside = 0;                                   // accepted, not yet completed
    int maxInside = 0;
    int invalidations = 0;
    int encodesAfterInvalidate = 0;
    int concurrentEncodes = 0;
    bool encodeDuringInvalidate = false;
    // Runs inside encode(), after the frame was accepted, with no lock held.
    std::function<void(size_t index)> duringEncode;
    // Runs inside encode() before the frame is taken, with no lock held (set before frames come).
    std::function<void(const ImageBufferRef& image)> beforeEncode;

  private:
    struct Codec final : VideoCodec {
        explicit Codec(FakeCodecs& owner) : owner(owner) {}
        int64_t framesEncodedAtOnce() const override { return owner.atOnce; }
        bool encode(const ImageBufferRef& image, int64_t ptsNanos, bool forceKeyFrame,
                    Completion completion) override {
            if (owner.beforeEncode) owner.beforeEncode(image);
            size_t index;
            {
                std::lock_guard lock(owner.mutex);
                if (owner.invalidations > 0) owner.encodesAfterInvalidate += 1;
                index = owner.submissions.size();
                owner.submissions.push_back({image, ptsNanos, forceKeyFrame});
                if (owner.refuseNext > 0) {
                    if (owner.refuseNext != INT_MAX) owner.refuseNext -= 1;
                    owner.completions.emplace_back();
                    return false;
                }
                owner.completions.push_back(std::move(completion));
                owner.maxInside = std::max(owner.maxInside, ++owner.inside);
                owner.concurrentEncodes += 1;
            }
            if (owner.duringEncode) owner.duringEncode(index);
            std::lock_guard lock(owner.mutex);
            owner.concurrentEncodes -= 1;
            return true;
        }
        void invalidate() override {
            std::lock_guard lock(owner.mutex);
            if (owner.concurrentEncodes > 0) owner.encodeDuringInvalidate = true;
            owner.invalidations += 1;
        }
        FakeCodecs& owner;
    };
};

}  // namespace panelora::test
