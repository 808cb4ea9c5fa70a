// Declarations mirroring <VideoToolbox/VideoToolbox.h> (VTSession.h, VTCompressionSession.h,
// VTCompressionProperties.h, VTVideoEncoderList.h), as much as the macOS sources use.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreMedia/CoreMedia.h>
#include <CoreVideo/CoreVideo.h>

extern "C" {

// <VideoToolbox/VTSession.h>
typedef CFTypeRef VTSessionRef;
OSStatus VTSessionSetProperty(VTSessionRef session, CFStringRef propertyKey,
                              CFTypeRef propertyValue);

// <VideoToolbox/VTErrors.h>
typedef CF_OPTIONS(UInt32, VTEncodeInfoFlags) {
    kVTEncodeInfo_Asynchronous = 1UL << 0,
    kVTEncodeInfo_FrameDropped = 1UL << 1,
};

// <VideoToolbox/VTCompressionSession.h>
typedef struct OpaqueVTCompressionSession* VTCompressionSessionRef;
typedef void (*VTCompressionOutputCallback)(void* outputCallbackRefCon, void* sourceFrameRefCon,
                                            OSStatus status, VTEncodeInfoFlags infoFlags,
                                            CMSampleBufferRef sampleBuffer);
typedef void (^VTCompressionOutputHandler)(OSStatus status, VTEncodeInfoFlags infoFlags,
                                           CMSampleBufferRef sampleBuffer);
OSStatus VTCompressionSessionCreate(
    CFAllocatorRef allocator, int32_t width, int32_t height, CMVideoCodecType codecType,
    CFDictionaryRef encoderSpecification, CFDictionaryRef sourceImageBufferAttributes,
    CFAllocatorRef compressedDataAllocator, VTCompressionOutputCallback outputCallback,
    void* outputCallbackRefCon, VTCompressionSessionRef* compressionSessionOut);
OSStatus VTCompressionSessionPrepareToEncodeFrames(VTCompressionSessionRef session);
OSStatus VTCompressionSessionEncodeFrameWithOutputHandler(
    VTCompressionSessionRef session, CVImageBufferRef imageBuffer, CMTime presentationTimeStamp,
    CMTime duration, CFDictionaryRef frameProperties, VTEncodeInfoFlags* infoFlagsOut,
    VTCompressionOutputHandler outputHandler);
void VTCompressionSessionInvalidate(VTCompressionSessionRef session);
extern const CFStringRef kVTEncodeFrameOptionKey_ForceKeyFrame;

// <VideoToolbox/VTVideoEncoderList.h>
extern const CFStringRef kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder;

// <VideoToolbox/VTCompressionProperties.h>
extern const CFStringRef kVTCompressionPropertyKey_RealTime;
extern const CFStringRef kVTCompressionPropertyKey_ProfileLevel;
extern const CFStringRef kVTCompressionPropertyKey_AllowFrameReordering;
extern const CFStringRef kVTCompressionPropertyKey_MaxKeyFrameIntervalDuration;
extern const CFStringRef kVTCompressionPropertyKey_ExpectedFrameRate;
extern const CFStringRef kVTCompressionPropertyKey_AverageBitRate;
extern const CFStringRef kVTCompressionPropertyKey_DataRateLimits;
extern const CFStringRef kVTCompressionPropertyKey_PrioritizeEncodingSpeedOverQuality;
extern const CFStringRef kVTCompressionPropertyKey_MaxFrameDelayCount;
extern const CFStringRef kVTCompressionPropertyKey_ColorPrimaries;
extern const CFStringRef kVTCompressionPropertyKey_TransferFunction;
extern const CFStringRef kVTCompressionPropertyKey_YCbCrMatrix;
extern const CFStringRef kVTColorPrimaries_ITU_R_709_2;
extern const CFStringRef kVTTransferFunction_ITU_R_709_2;
extern const CFStringRef kVTYCbCrMatrix_ITU_R_709_2;
extern const CFStringRef kVTProfileLevel_H264_High_AutoLevel;
extern const CFStringRef kVTProfileLevel_H264_Main_AutoLevel;

}  // extern "C"
