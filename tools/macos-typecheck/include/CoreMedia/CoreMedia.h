// Declarations mirroring <CoreMedia/CoreMedia.h> (CMTime.h, CMSampleBuffer.h, CMBlockBuffer.h,
// CMFormatDescription.h), as much as the macOS sources use.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreVideo/CoreVideo.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

// <CoreMedia/CMTime.h>
typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef int64_t CMTimeEpoch;
typedef CF_OPTIONS(uint32_t, CMTimeFlags) {
    kCMTimeFlags_Valid = 1UL << 0,
    kCMTimeFlags_HasBeenRounded = 1UL << 1,
    kCMTimeFlags_PositiveInfinity = 1UL << 2,
    kCMTimeFlags_NegativeInfinity = 1UL << 3,
    kCMTimeFlags_Indefinite = 1UL << 4,
};
#pragma pack(push, 4)
typedef struct {
    CMTimeValue value;
    CMTimeScale timescale;
    CMTimeFlags flags;
    CMTimeEpoch epoch;
} CMTime;
#pragma pack(pop)
extern const CMTime kCMTimeInvalid;
CMTime CMTimeMake(int64_t value, int32_t timescale);

// <CoreMedia/CMBlockBuffer.h>
typedef struct OpaqueCMBlockBuffer* CMBlockBufferRef;
size_t CMBlockBufferGetDataLength(CMBlockBufferRef theBuffer);
OSStatus CMBlockBufferCopyDataBytes(CMBlockBufferRef theSourceBuffer, size_t offsetToData,
                                    size_t dataLength, void* destination);

// <CoreMedia/CMFormatDescription.h>
typedef const struct opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMVideoFormatDescriptionRef;
typedef FourCharCode CMVideoCodecType;
enum : CMVideoCodecType { kCMVideoCodecType_H264 = 'avc1' };
OSStatus CMVideoFormatDescriptionGetH264ParameterSetAtIndex(CMFormatDescriptionRef videoDesc,
                                                            size_t parameterSetIndex,
                                                            const uint8_t** parameterSetPointerOut,
                                                            size_t* parameterSetSizeOut,
                                                            size_t* parameterSetCountOut,
                                                            int* NALUnitHeaderLengthOut);

// <CoreMedia/CMSampleBuffer.h>
typedef struct opaqueCMSampleBuffer* CMSampleBufferRef;
extern const CFStringRef kCMSampleAttachmentKey_NotSync;
Boolean CMSampleBufferIsValid(CMSampleBufferRef sbuf);
CFArrayRef CMSampleBufferGetSampleAttachmentsArray(CMSampleBufferRef sbuf,
                                                   Boolean createIfNecessary);
CVImageBufferRef CMSampleBufferGetImageBuffer(CMSampleBufferRef sbuf);
CMBlockBufferRef CMSampleBufferGetDataBuffer(CMSampleBufferRef sbuf);
CMFormatDescriptionRef CMSampleBufferGetFormatDescription(CMSampleBufferRef sbuf);
CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef sbuf);

}  // extern "C"
