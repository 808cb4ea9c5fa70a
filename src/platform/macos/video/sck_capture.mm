#include "platform/macos/video/sck_capture.h"

#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <atomic>
#include <chrono>
#include <future>

#include "platform/macos/portable/media_time.h"
#include "platform/macos/video/pixel_buffer_image.h"

namespace panelora {
namespace {

// The core's numbers are the platform's.
static_assert(kPixelFormat420v == kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
static_assert(static_cast<NSInteger>(FrameStatus::complete) == SCFrameStatusComplete);
static_assert(static_cast<NSInteger>(FrameStatus::idle) == SCFrameStatusIdle);
static_assert(static_cast<NSInteger>(FrameStatus::stopped) == SCFrameStatusStopped);
static_assert(media::kTimeValid == kCMTimeFlags_Valid);
static_assert(media::kTimePositiveInfinity == kCMTimeFlags_PositiveInfinity);
static_assert(media::kTimeNegativeInfinity == kCMTimeFlags_NegativeInfinity);
static_assert(media::kTimeIndefinite == kCMTimeFlags_Indefinite);

// How long a platform call may take to answer before the start (or stop) gives up on it.
constexpr auto kQueryTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(3);

std::string describe(NSError* error) {
    if (!error) return "The screen capture failed";
    const char* text = error.localizedDescription.UTF8String;
    return text ? text : "The screen capture failed";
}

struct ShareableContent {
    NSArray<SCDisplay*>* displays = nil;
    std::optional<std::string> error;
};

ShareableContent shareableContent() {
    auto answer = std::make_shared<std::promise<ShareableContent>>();
    std::future<ShareableContent> result = answer->get_future();
    // Only the displays are used: the narrowest window query keeps the enumeration short.
    [SCShareableContent
        getShareableContentExcludingDesktopWindows:YES
                               onScreenWindowsOnly:YES
                                 completionHandler:^(SCShareableContent* content, NSError* error) {
                                   ShareableContent found;
                                   if (error || !content) {
                                       found.error = describe(error);
                                   } else {
                                       found.displays = content.displays;
                                   }
                                   answer->set_value(found);
                                 }];
    if (result.wait_for(kQueryTimeout) != std::future_status::ready) {
        return ShareableContent{nil, "The screen capture did not answer"};
    }
    return result.get();
}

// Waits for a completion handler that reports an optional error; false on timeout.
using ErrorWait = std::shared_ptr<std::promise<NSError*>>;

bool waitFor(const ErrorWait& wait, std::chrono::seconds timeout, NSError* __strong* error) {
    std::future<NSError*> result = wait->get_future();
    if (result.wait_for(timeout) != std::future_status::ready) return false;
    *error = result.get();
    return true;
}

// One sample as the core sees it. The image is made only for complete frames: the core drops
// every other one.
CaptureSample describeSample(CMSampleBufferRef sampleBuffer, SCStreamOutputType type) {
    CaptureSample sample;
    sample.isScreen = type == SCStreamOutputTypeScreen;
    if (!sample.isScreen || !CMSampleBufferIsValid(sampleBuffer)) return sample;
    NSArray* attachments =
        (__bridge NSArray*)CMSampleBufferGetSampleAttachmentsArray(sampleBuffer, false);
    if ([attachments isKindOfClass:[NSArray class]] && attachments.count > 0) {
        NSDictionary* info = attachments.firstObject;
        id status = [info isKindOfClass:[NSDictionary class]] ? info[SCStreamFrameInfoStatus] : nil;
        if ([status isKindOfClass:[NSNumber class]]) {
            sample.status = media::frameStatus([(NSNumber*)status longLongValue]);
        }
    }
    if (sample.status != FrameStatus::complete) return sample;
    if (CVImageBufferRef image = CMSampleBufferGetImageBuffer(sampleBuffer)) {
        sample.image = std::make_shared<PixelBufferImage>(image);
    }
    const CMTime pts = CMSampleBufferGetPresentationTimeStamp(sampleBuffer);
    sample.ptsNanos = media::nanosFromTime(pts.value, pts.timescale, pts.flags);
    return sample;
}

}  // namespace
}  // namespace panelora

// The stream's output and delegate: passes samples to the core's queue and the platform's stop
// notice to the core, until detached.
@interface PaneloraCaptureOutput : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithQueue:(std::shared_ptr<panelora::SerialQueue>)queue
                    callbacks:(panelora::CaptureBackend::Callbacks)callbacks;
- (void)detach;
@end

@implementation PaneloraCaptureOutput {
    std::shared_ptr<panelora::SerialQueue> _queue;
    std::shared_ptr<const panelora::CaptureBackend::Callbacks> _callbacks;
    std::atomic<bool> _detached;
}

- (instancetype)initWithQueue:(std::shared_ptr<panelora::SerialQueue>)queue
                    callbacks:(panelora::CaptureBackend::Callbacks)callbacks {
    if ((self = [super init])) {
        _queue = std::move(queue);
        _callbacks =
            std::make_shared<const panelora::CaptureBackend::Callbacks>(std::move(callbacks));
        _detached = false;
    }
    return self;
}

- (void)detach {
    _detached = true;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
    (void)stream;
    if (_detached) return;
    panelora::CaptureSample sample = panelora::describeSample(sampleBuffer, type);
    _queue->post([callbacks = _callbacks, sample = std::move(sample)] {
        if (callbacks->onSample) callbacks->onSample(sample);
    });
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    (void)stream;
    (void)error;
    if (!_detached && _callbacks->onStopped) _callbacks->onStopped();
}

@end

namespace panelora {
namespace {

class ScreenCaptureKitStream final : public CaptureStream {
  public:
    ScreenCaptureKitStream(SCStream* stream, PaneloraCaptureOutput* output)
        : stream_(stream), output_(output) {}
    ~ScreenCaptureKitStream() override { stop(); }

    void stop() override {
        if (stopped_.exchange(true)) return;
        [output_ detach];
        auto done = std::make_shared<std::promise<NSError*>>();
        [stream_ stopCaptureWithCompletionHandler:^(NSError* error) {
          done->set_value(error);
        }];
        NSError* error = nil;
        waitFor(done, kStopTimeout, &error);  // an error or no answer: the stream is over for us
    }

  private:
    SCStream* stream_;
    PaneloraCaptureOutput* output_;  // the stream's output and delegate, kept alive with it
    std::atomic<bool> stopped_{false};
};

}  // namespace

std::vector<DisplayID> ScreenCaptureKitBackend::shareableDisplays(std::string* why) {
    const ShareableContent content = shareableContent();
    if (content.error) {
        if (why) *why = *content.error;
        return {};
    }
    std::vector<DisplayID> displays;
    for (SCDisplay* display in content.displays)
        displays.push_back(display.displayID);
    return displays;
}

std::unique_ptr<CaptureStream> ScreenCaptureKitBackend::startStream(
    DisplayID display, const CaptureConfiguration& configuration,
    std::shared_ptr<SerialQueue> queue, Callbacks callbacks, std::string* why) {
    const ShareableContent content = shareableContent();
    if (content.error) {
        if (why) *why = *content.error;
        return nullptr;
    }
    SCDisplay* target = nil;
    for (SCDisplay* candidate in content.displays) {
        if (candidate.displayID == display) {
            target = candidate;
            break;
        }
    }
    if (!target) {
        if (why) *why = "The virtual display is not among the capturable displays";
        return nullptr;
    }

    SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:target excludingWindows:@[]];
    SCStreamConfiguration* settings = [[SCStreamConfiguration alloc] init];
    settings.width = static_cast<size_t>(configuration.width);
    settings.height = static_cast<size_t>(configuration.height);
    settings.minimumFrameInterval = CMTimeMake(1, configuration.fps);
    settings.pixelFormat = configuration.pixelFormat;
    settings.queueDepth = configuration.queueDepth;
    settings.showsCursor = configuration.showsCursor;
    // BT.709 in video range ('420v'), as the encoder tags the stream. The matrix names come from
    // CoreGraphics' display stream, deprecated in favour of ScreenCaptureKit, which still takes
    // them; an SDK that marks them deprecated too must not fail the build.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    settings.colorMatrix = kCGDisplayStreamYCbCrMatrix_ITU_R_709_2;
#pragma clang diagnostic pop
    settings.colorSpaceName = kCGColorSpaceITUR_709;

    PaneloraCaptureOutput* output =
        [[PaneloraCaptureOutput alloc] initWithQueue:std::move(queue)
                                           callbacks:std::move(callbacks)];
    SCStream* stream = [[SCStream alloc] initWithFilter:filter
                                          configuration:settings
                                               delegate:output];
    dispatch_queue_t frames = dispatch_queue_create(
        "panelora.capture.frames", dispatch_queue_attr_make_with_qos_class(
                                       DISPATCH_QUEUE_SERIAL, QOS_CLASS_USER_INTERACTIVE, 0));
    NSError* addError = nil;
    if (![stream addStreamOutput:output
                            type:SCStreamOutputTypeScreen
              sampleHandlerQueue:frames
                           error:&addError]) {
        if (why) *why = describe(addError);
        return nullptr;
    }

    auto started = std::make_shared<std::promise<NSError*>>();
    [stream startCaptureWithCompletionHandler:^(NSError* startError) {
      started->set_value(startError);
    }];
    NSError* startError = nil;
    if (!waitFor(started, kQueryTimeout, &startError) || startError) {
        [output detach];
        if (why) *why = startError ? describe(startError) : "The screen capture did not start";
        // A start that answers late must not leave a stream running.
        [stream stopCaptureWithCompletionHandler:nil];
        return nullptr;
    }
    return std::make_unique<ScreenCaptureKitStream>(stream, output);
}

}  // namespace panelora
