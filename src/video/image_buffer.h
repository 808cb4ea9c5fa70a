// Captured pictures as they travel from the capturer to the encoder: bi-planar 4:2:0 video
// range ("420v", NV12). Buffers are shared and immutable once filled: the capturer hands one to
// the encoder, which may keep it as its last frame and as its waiting frame at the same time.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace panelora {

class ImageBuffer {
  public:
    virtual ~ImageBuffer() = default;

    virtual int32_t width() const = 0;
    virtual int32_t height() const = 0;
    // Plane 0: luma, width × height bytes. Plane 1: interleaved Cb Cr, width × height/2 bytes.
    virtual const uint8_t* planeData(int plane) const = 0;
    virtual int32_t planeStride(int plane) const = 0;
};

using ImageBufferRef = std::shared_ptr<const ImageBuffer>;

// An NV12 picture in ordinary memory, both planes in one allocation, rows 64-byte aligned.
class Nv12Buffer final : public ImageBuffer {
  public:
    Nv12Buffer(int32_t width, int32_t height);

    int32_t width() const override { return width_; }
    int32_t height() const override { return height_; }
    const uint8_t* planeData(int plane) const override;
    int32_t planeStride(int /*plane*/) const override { return stride_; }
    uint8_t* mutablePlaneData(int plane);
    // Unique to this buffer in the process (addresses are reused, serials are not): a writer that
    // remembers what it left in a buffer knows it again when the pool hands it back.
    uint64_t serial() const { return serial_; }

  private:
    uint64_t serial_;
    int32_t width_;
    int32_t height_;
    int32_t stride_;
    std::vector<uint8_t> storage_;
    size_t uvOffset_;
};

// Recycles buffers of one size so that capturing at 60 fps does not allocate 5 MB per frame.
// A buffer returns to the pool when its last reference goes; at most `capacity` are kept.
class Nv12BufferPool : public std::enable_shared_from_this<Nv12BufferPool> {
  public:
    static std::shared_ptr<Nv12BufferPool> create(int32_t width, int32_t height,
                                                  size_t capacity = 8);

    // A buffer for writing; the contents are whatever the previous user left.
    std::shared_ptr<Nv12Buffer> acquire();

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

  private:
    Nv12BufferPool(int32_t width, int32_t height, size_t capacity);
    void recycle(Nv12Buffer* buffer);

    const int32_t width_;
    const int32_t height_;
    const size_t capacity_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Nv12Buffer>> free_;  // guarded by mutex_
};

}  // namespace panelora
