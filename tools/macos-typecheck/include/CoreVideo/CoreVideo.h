// Declarations mirroring <CoreVideo/CoreVideo.h> (CVReturn.h, CVImageBuffer.h, CVPixelBuffer.h),
// as much as the macOS sources use.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {

// <CoreVideo/CVBase.h>, <CoreVideo/CVReturn.h>
typedef uint64_t CVOptionFlags;
typedef int32_t CVReturn;
enum : CVReturn { kCVReturnSuccess = 0, kCVReturnError = -6660 };

// <CoreVideo/CVBuffer.h>, <CoreVideo/CVImageBuffer.h>
typedef struct __CVBuffer* CVBufferRef;
typedef CVBufferRef CVImageBufferRef;

// <CoreVideo/CVPixelBuffer.h>
typedef CVImageBufferRef CVPixelBufferRef;
enum : OSType { kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange = '420v' };
typedef CF_OPTIONS(CVOptionFlags, CVPixelBufferLockFlags) {
    kCVPixelBufferLock_ReadOnly = 0x00000001,
};
CVReturn CVPixelBufferLockBaseAddress(CVPixelBufferRef pixelBuffer,
                                      CVPixelBufferLockFlags lockFlags);
CVReturn CVPixelBufferUnlockBaseAddress(CVPixelBufferRef pixelBuffer,
                                        CVPixelBufferLockFlags unlockFlags);
size_t CVPixelBufferGetWidth(CVPixelBufferRef pixelBuffer);
size_t CVPixelBufferGetHeight(CVPixelBufferRef pixelBuffer);
size_t CVPixelBufferGetPlaneCount(CVPixelBufferRef pixelBuffer);
void* CVPixelBufferGetBaseAddressOfPlane(CVPixelBufferRef pixelBuffer, size_t planeIndex);
size_t CVPixelBufferGetBytesPerRowOfPlane(CVPixelBufferRef pixelBuffer, size_t planeIndex);

}  // extern "C"
