#include "platform/macos/video/pixel_buffer_image.h"

namespace panelora {

PixelBufferImage::PixelBufferImage(CVPixelBufferRef buffer)
    : buffer_(CFRef<CVPixelBufferRef>::retain(buffer)) {}

PixelBufferImage::~PixelBufferImage() {
    if (locked_) CVPixelBufferUnlockBaseAddress(buffer_.get(), kCVPixelBufferLock_ReadOnly);
}

int32_t PixelBufferImage::width() const {
    return static_cast<int32_t>(CVPixelBufferGetWidth(buffer_.get()));
}

int32_t PixelBufferImage::height() const {
    return static_cast<int32_t>(CVPixelBufferGetHeight(buffer_.get()));
}

bool PixelBufferImage::mapped() const {
    std::call_once(lockOnce_, [this] {
        locked_ = CVPixelBufferLockBaseAddress(buffer_.get(), kCVPixelBufferLock_ReadOnly) ==
                  kCVReturnSuccess;
    });
    return locked_;
}

const uint8_t* PixelBufferImage::planeData(int plane) const {
    if (plane < 0 || static_cast<size_t>(plane) >= CVPixelBufferGetPlaneCount(buffer_.get()) ||
        !mapped()) {
        return nullptr;
    }
    return static_cast<const uint8_t*>(
        CVPixelBufferGetBaseAddressOfPlane(buffer_.get(), static_cast<size_t>(plane)));
}

int32_t PixelBufferImage::planeStride(int plane) const {
    if (plane < 0 || static_cast<size_t>(plane) >= CVPixelBufferGetPlaneCount(buffer_.get())) {
        return 0;
    }
    return static_cast<int32_t>(
        CVPixelBufferGetBytesPerRowOfPlane(buffer_.get(), static_cast<size_t>(plane)));
}

}  // namespace panelora
