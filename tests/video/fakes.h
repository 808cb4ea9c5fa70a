// Recording fakes of the video seams, shared by the video tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "video/h264_encoder.h"
#include "video/screen_capturer.h"
#include "video/virtual_display.h"

namespace panelora::testing {

inline ImageBufferRef makeImage(int32_t width = 16, int32_t height = 16) {
    return std::make_shared<Nv12Buffer>(width, height);
}

// ---------------------------------------------------------------------------------------------
// Codec: records every frame handed to it; the test completes them in any order.

struct Submission {
    ImageBufferRef image;
    int64_t ptsNanos = 0;
    bool forceKey = false;
};

struct FakeCodecState {
    std::mutex mutex;
    std::vector<Submission> submissions;  // accepted and refused, in call order
    std::vector<bool> refused;
    std::vector<VideoCodec::Completion> completions;  // empty once completed
    int refuseNext = 0;                               // refuse this many coming frames
    int64_t atOnce = 2;                               // framesEncodedAtOnce()
    int inside = 0;                                   // accepted, not yet completed
    int maxInside = 0;
    int invalidations = 0;
    int encodesAfterInvalidate = 0;
    int concurrentEncodes = 0;  // encode() calls running now
    bool encodeDuringInvalidate = false;
    bool invalidating = false;
    // Runs inside encode(), after the frame was accepted, with no fake lock held.
    std::function<void(size_t index)> duringEncode;

    size_t count() {
        std::lock_guard guard(mutex);
        return submissions.size();
    }
    Submission at(size_t index) {
        std::lock_guard guard(mutex);
        return submissions.at(index);
    }
    // Completes an accepted frame the way the codec's output thread would.
    void complete(size_t index, std::optional<EncodedSample> sample) {
        VideoCodec::Completion completion;
        {
            std::lock_guard guard(mutex);
            completion = std::move(completions.at(index));
            completions.at(index) = nullptr;
            if (completion) inside -= 1;
        }
        if (completion) completion(std::move(sample));
    }
    void completeOk(size_t index, bool key = false) {
        EncodedSample sample;
        sample.notSync = !key;
        sample.avcc = {0, 0, 0, 1, 0x65};
        if (key) {
            sample.sps = std::vector<uint8_t>{0x67};
            sample.pps = std::vector<uint8_t>{0x68};
        }
        sample.ptsNanos = at(index).ptsNanos;
        complete(index, sample);
    }
    void fail(size_t index) { complete(index, std::nullopt); }
    std::vector<size_t> open() {
        std::lock_guard guard(mutex);
        std::vector<size_t> result;
        for (size_t i = 0; i < completions.size(); ++i) {
            if (completions[i]) result.push_back(i);
        }
        return result;
    }
};

class FakeCodec final : public VideoCodec {
  public:
    explicit FakeCodec(std::shared_ptr<FakeCodecState> state) : state_(std::move(state)) {}

    int64_t framesEncodedAtOnce() const override { return state_->atOnce; }

    bool encode(const ImageBufferRef& image, int64_t ptsNanos, bool forceKeyFrame,
                Completion completion) override {
        size_t index;
        {
            std::lock_guard guard(state_->mutex);
            if (state_->invalidations > 0) state_->encodesAfterInvalidate += 1;
            if (state_->invalidating) state_->encodeDuringInvalidate = true;
            index = state_->submissions.size();
            state_->submissions.push_back({image, ptsNanos, forceKeyFrame});
            const bool refuse = state_->refuseNext > 0;
            state_->refused.push_back(refuse);
            if (refuse) {
                state_->refuseNext -= 1;
                state_->completions.emplace_back();
                return false;
            }
            state_->completions.push_back(std::move(completion));
            state_->inside += 1;
            state_->maxInside = std::max(state_->maxInside, state_->inside);
            state_->concurrentEncodes += 1;
        }
        if (state_->duringEncode) state_->duringEncode(index);
        std::lock_guard guard(state_->mutex);
        state_->concurrentEncodes -= 1;
        return true;
    }

    void invalidate() override {
        std::lock_guard guard(state_->mutex);
        if (state_->concurrentEncodes > 0) state_->encodeDuringInvalidate = true;
        state_->invalidations += 1;
    }

  private:
    std::shared_ptr<FakeCodecState> state_;
};

class FakeCodecFactory final : public VideoCodecFactory {
  public:
    std::shared_ptr<FakeCodecState> state = std::make_shared<FakeCodecState>();
    std::optional<VideoCodecSettings> settings;
    bool refuse = false;

    std::unique_ptr<VideoCodec> create(const VideoCodecSettings& s) override {
        settings = s;
        if (refuse) return nullptr;
        return std::make_unique<FakeCodec>(state);
    }
};

// ---------------------------------------------------------------------------------------------
// Capture: the display shows up on a chosen query; streams record their stops.

struct FakeStreamState {
    std::mutex mutex;
    std::condition_variable changed;
    int stops = 0;
    bool destroyed = false;

    bool waitStopped(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock guard(mutex);
        return changed.wait_for(guard, timeout, [&] { return stops > 0 && destroyed; });
    }
};

class FakeCaptureStream final : public CaptureStream {
  public:
    explicit FakeCaptureStream(std::shared_ptr<FakeStreamState> state) : state_(std::move(state)) {}
    ~FakeCaptureStream() override {
        std::lock_guard guard(state_->mutex);
        state_->destroyed = true;
        state_->changed.notify_all();
    }
    void stop() override {
        std::lock_guard guard(state_->mutex);
        state_->stops += 1;
        state_->changed.notify_all();
    }

  private:
    std::shared_ptr<FakeStreamState> state_;
};

class FakeCaptureBackend final : public CaptureBackend {
  public:
    DisplayID display = 7;
    int appearOnQuery = 1;                    // 0: never
    std::optional<std::string> queryErrorOn;  // error text, given on query `errorOnQuery`
    int errorOnQuery = 1;
    std::optional<std::string> startError;
    std::function<void()> onQuery;      // runs inside every query
    std::function<void()> duringStart;  // runs inside startStream()

    std::atomic<int> queries{0};
    int streamsStarted = 0;
    std::optional<CaptureConfiguration> configuration;
    DisplayID startedDisplay = 0;
    std::shared_ptr<SerialQueue> queue;
    Callbacks callbacks;
    std::shared_ptr<FakeStreamState> stream = std::make_shared<FakeStreamState>();

    std::vector<DisplayID> shareableDisplays(std::optional<Error>& error) override {
        const int query = ++queries;
        if (onQuery) onQuery();
        if (queryErrorOn && query == errorOnQuery) {
            error = Error{*queryErrorOn};
            return {};
        }
        std::vector<DisplayID> displays{1};  // the main display is always there
        if (appearOnQuery > 0 && query >= appearOnQuery) displays.push_back(display);
        return displays;
    }

    std::unique_ptr<CaptureStream> startStream(DisplayID d, const CaptureConfiguration& c,
                                               std::shared_ptr<SerialQueue> q, Callbacks cb,
                                               std::optional<Error>& error) override {
        startedDisplay = d;
        configuration = c;
        queue = std::move(q);
        callbacks = std::move(cb);
        if (duringStart) duringStart();
        if (startError) {
            error = Error{*startError};
            return nullptr;
        }
        streamsStarted += 1;
        return std::make_unique<FakeCaptureStream>(stream);
    }

    // Delivers a sample on the capture queue, as the platform would, and waits for it.
    void deliver(const CaptureSample& sample) {
        auto onSample = callbacks.onSample;
        queue->post([onSample, sample] { onSample(sample); });
        queue->flush();
    }
};

// ---------------------------------------------------------------------------------------------
// Virtual displays: numbered in creation order; alive while their object exists.

struct FakeDisplayRegistry {
    std::set<DisplayID> alive;
    DisplayID nextID = 100;
    std::vector<VirtualDisplayDescriptor> descriptors;
    std::vector<VirtualDisplaySettings> settings;
};

class FakePlatformDisplay final : public PlatformVirtualDisplay {
  public:
    FakePlatformDisplay(std::shared_ptr<FakeDisplayRegistry> registry, DisplayID id,
                        bool refuseSettings)
        : registry_(std::move(registry)), id_(id), refuseSettings_(refuseSettings) {
        registry_->alive.insert(id_);
    }
    ~FakePlatformDisplay() override { registry_->alive.erase(id_); }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        registry_->settings.push_back(settings);
        return !refuseSettings_;
    }
    DisplayID displayID() const override { return id_; }

  private:
    std::shared_ptr<FakeDisplayRegistry> registry_;
    DisplayID id_;
    bool refuseSettings_;
};

class FakeVirtualDisplayBackend final : public VirtualDisplayBackend {
  public:
    std::shared_ptr<FakeDisplayRegistry> registry = std::make_shared<FakeDisplayRegistry>();
    bool refuseDescriptor = false;
    bool refuseSettings = false;

    std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) override {
        registry->descriptors.push_back(descriptor);
        if (refuseDescriptor) return nullptr;
        return std::make_unique<FakePlatformDisplay>(registry, registry->nextID++, refuseSettings);
    }
};

}  // namespace panelora::testing
