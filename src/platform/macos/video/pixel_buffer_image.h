// A captured picture still in the capture's own pixel buffer (IOSurface-backed, '420v'). The
// VideoToolbox codec hands the buffer itself to the encoder, so no pixel is copied on the way;
// the planes are mapped for reading only when someone asks for them.
//
// Immutable once made; any thread. Holds its own reference to the buffer.
#pragma once

#include <CoreVideo/CoreVideo.h>

#include <mutex>

#include "platform/macos/cf_ref.h"
#include "video/image_buffer.h"

namespace panelora {

class PixelBufferImage final : public ImageBuffer {
  public:
    explicit PixelBufferImage(CVPixelBufferRef buffer);
    ~PixelBufferImage() override;

    int32_t width() const override;
    int32_t height() const override;
    // Locks the base address read-only on first use, until the image goes. Null when the buffer
    // cannot be mapped or has no such plane.
    const uint8_t* planeData(int plane) const override;
    int32_t planeStride(int plane) const override;

    CVPixelBufferRef pixelBuffer() const { return buffer_.get(); }

  private:
    bool mapped() const;

    CFRef<CVPixelBufferRef> buffer_;
    mutable std::once_flag lockOnce_;
    mutable bool locked_ = false;  // written once under lockOnce_
};

}  // namespace panelora
