#include "platform/macos/video/vt_video_codec.h"

#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <VideoToolbox/VideoToolbox.h>

#include <atomic>
#include <utility>

#include "platform/macos/cf_ref.h"
#include "platform/macos/portable/compression_properties.h"
#include "platform/macos/portable/encode_completion.h"
#include "platform/macos/portable/media_time.h"
#include "platform/macos/video/pixel_buffer_image.h"

namespace panelora {
namespace {

// Set while this thread runs one of our output handlers.
thread_local bool insideOutputHandler = false;

CFStringRef platformKey(vt::PropertyKey key) {
    switch (key) {
        case vt::PropertyKey::realTime:
            return kVTCompressionPropertyKey_RealTime;
        case vt::PropertyKey::profileLevel:
            return kVTCompressionPropertyKey_ProfileLevel;
        case vt::PropertyKey::allowFrameReordering:
            return kVTCompressionPropertyKey_AllowFrameReordering;
        case vt::PropertyKey::maxKeyFrameIntervalDuration:
            return kVTCompressionPropertyKey_MaxKeyFrameIntervalDuration;
        case vt::PropertyKey::expectedFrameRate:
            return kVTCompressionPropertyKey_ExpectedFrameRate;
        case vt::PropertyKey::averageBitRate:
            return kVTCompressionPropertyKey_AverageBitRate;
        case vt::PropertyKey::dataRateLimits:
            return kVTCompressionPropertyKey_DataRateLimits;
        case vt::PropertyKey::prioritizeEncodingSpeedOverQuality:
            return kVTCompressionPropertyKey_PrioritizeEncodingSpeedOverQuality;
        case vt::PropertyKey::maxFrameDelayCount:
            return kVTCompressionPropertyKey_MaxFrameDelayCount;
    }
    return nullptr;
}

// The property's value as a CoreFoundation object (toll-free bridged from Foundation's).
id platformValue(const vt::Property& property) {
    struct Visitor {
        id operator()(bool value) const { return value ? @YES : @NO; }
        id operator()(int64_t value) const { return @(value); }
        id operator()(double value) const { return @(value); }
        id operator()(vt::ProfileLevel level) const {
            return (__bridge id)(level == vt::ProfileLevel::h264HighAutoLevel
                                     ? kVTProfileLevel_H264_High_AutoLevel
                                     : kVTProfileLevel_H264_Main_AutoLevel);
        }
        id operator()(const vt::DataRateLimit& limit) const {
            return @[ @(limit.bytes), @(limit.seconds) ];
        }
    };
    return std::visit(Visitor{}, property.value);
}

std::optional<std::vector<uint8_t>> parameterSet(CMFormatDescriptionRef format, size_t index) {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    if (CMVideoFormatDescriptionGetH264ParameterSetAtIndex(format, index, &bytes, &size, nullptr,
                                                           nullptr) != noErr ||
        !bytes || size == 0) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(bytes, bytes + size);
}

// A key frame unless the first sample attachment says kCMSampleAttachmentKey_NotSync = true.
bool isNotSync(CMSampleBufferRef sampleBuffer) {
    CFArrayRef attachments = CMSampleBufferGetSampleAttachmentsArray(sampleBuffer, false);
    if (!attachments || CFArrayGetCount(attachments) < 1) return false;
    auto first = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(attachments, 0));
    if (!first || CFGetTypeID(first) != CFDictionaryGetTypeID()) return false;
    CFTypeRef value = CFDictionaryGetValue(first, kCMSampleAttachmentKey_NotSync);
    return value && CFGetTypeID(value) == CFBooleanGetTypeID() &&
           CFBooleanGetValue(static_cast<CFBooleanRef>(value));
}

// The compressed frame of a sample buffer; nothing when any part of it is missing.
std::optional<EncodedSample> encodedSample(CMSampleBufferRef sampleBuffer) {
    CMBlockBufferRef data = CMSampleBufferGetDataBuffer(sampleBuffer);
    if (!data) return std::nullopt;
    EncodedSample sample;
    sample.notSync = isNotSync(sampleBuffer);
    if (!sample.notSync) {
        if (CMFormatDescriptionRef format = CMSampleBufferGetFormatDescription(sampleBuffer)) {
            sample.sps = parameterSet(format, 0);
            sample.pps = parameterSet(format, 1);
        }
    }
    const size_t length = CMBlockBufferGetDataLength(data);
    if (length < 1) return std::nullopt;
    sample.avcc.resize(length);
    if (CMBlockBufferCopyDataBytes(data, 0, length, sample.avcc.data()) != noErr) {
        return std::nullopt;
    }
    const CMTime pts = CMSampleBufferGetPresentationTimeStamp(sampleBuffer);
    sample.ptsNanos = media::nanosFromTime(pts.value, pts.timescale, pts.flags);
    return sample;
}

// Releases (after invalidating, when asked) off the calling thread, which may be the session's
// own output thread.
void releaseElsewhere(CFRef<VTCompressionSessionRef> session, bool invalidate) {
    VTCompressionSessionRef raw = session.release();
    if (!raw) return;
    dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0), ^{
      if (invalidate) VTCompressionSessionInvalidate(raw);
      CFRelease(raw);
    });
}

class VideoToolboxCodec final : public VideoCodec {
  public:
    explicit VideoToolboxCodec(CFRef<VTCompressionSessionRef> session)
        : session_(std::move(session)) {}

    ~VideoToolboxCodec() override {
        // Never invalidated: do it now, where it cannot wait on its own handler.
        releaseElsewhere(std::move(session_), !invalidated_.exchange(true));
    }

    bool encode(const ImageBufferRef& image, int64_t ptsNanos, bool forceKeyFrame,
                Completion completion) override {
        auto* picture = dynamic_cast<const PixelBufferImage*>(image.get());
        if (!picture || invalidated_) return false;
        auto gate = std::make_shared<vt::EncodeCompletion>(std::move(completion));
        const media::Time time = media::timeFromNanos(ptsNanos);
        const CMTime pts = time.flags ? CMTimeMake(time.value, time.timescale) : kCMTimeInvalid;
        NSDictionary* options =
            forceKeyFrame
                ? @{(__bridge NSString*)kVTEncodeFrameOptionKey_ForceKeyFrame : @YES}
                : nil;
        const OSStatus status = VTCompressionSessionEncodeFrameWithOutputHandler(
            session_.get(), picture->pixelBuffer(), pts, kCMTimeInvalid,
            (__bridge CFDictionaryRef)options, nullptr,
            ^(OSStatus result, VTEncodeInfoFlags, CMSampleBufferRef sampleBuffer) {
              insideOutputHandler = true;
              std::optional<EncodedSample> sample;
              if (result == noErr && sampleBuffer) sample = encodedSample(sampleBuffer);
              gate->handlerCalled(std::move(sample));
              insideOutputHandler = false;
            });
        gate->callReturned(status == noErr);
        return status == noErr;
    }

    void invalidate() override {
        if (invalidated_.exchange(true)) return;
        if (insideOutputHandler) {
            // Not in place: the platform call may wait for the session's handlers, and this
            // thread is inside one of them.
            releaseElsewhere(CFRef<VTCompressionSessionRef>(session_), true);
            return;
        }
        VTCompressionSessionInvalidate(session_.get());
    }

  private:
    CFRef<VTCompressionSessionRef> session_;
    std::atomic<bool> invalidated_{false};
};

}  // namespace

std::unique_ptr<VideoCodec> VideoToolboxCodecFactory::create(const VideoCodecSettings& settings) {
    NSDictionary* specification = @{
        (__bridge NSString*)
        kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder : @YES
    };
    VTCompressionSessionRef raw = nullptr;
    const OSStatus status = VTCompressionSessionCreate(
        kCFAllocatorDefault, settings.width, settings.height, kCMVideoCodecType_H264,
        (__bridge CFDictionaryRef)specification, nullptr, nullptr, nullptr, nullptr, &raw);
    CFRef<VTCompressionSessionRef> session(raw);
    if (status != noErr || !session) return nullptr;
    // A property the encoder refuses is left at its default.
    for (const vt::Property& property : vt::compressionProperties(settings)) {
        VTSessionSetProperty(session.get(), platformKey(property.key),
                             (__bridge CFTypeRef)platformValue(property));
    }
    // The stream says BT.709, as the capture converts (sck_capture.mm); the range, video, follows
    // from the '420v' pixel buffers.
    const std::pair<CFStringRef, CFStringRef> colour[] = {
        {kVTCompressionPropertyKey_ColorPrimaries, kVTColorPrimaries_ITU_R_709_2},
        {kVTCompressionPropertyKey_TransferFunction, kVTTransferFunction_ITU_R_709_2},
        {kVTCompressionPropertyKey_YCbCrMatrix, kVTYCbCrMatrix_ITU_R_709_2},
    };
    for (const auto& [key, value] : colour)
        VTSessionSetProperty(session.get(), key, value);
    if (VTCompressionSessionPrepareToEncodeFrames(session.get()) != noErr) return nullptr;
    return std::make_unique<VideoToolboxCodec>(std::move(session));
}

}  // namespace panelora
