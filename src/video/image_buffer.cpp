#include "video/image_buffer.h"

#include <atomic>

namespace panelora {

namespace {
std::atomic<uint64_t> nextSerial{1};
}  // namespace

Nv12Buffer::Nv12Buffer(int32_t width, int32_t height)
    : serial_(nextSerial.fetch_add(1, std::memory_order_relaxed)),
      width_(width),
      height_(height),
      stride_((width + 63) & ~63) {
    size_t luma = static_cast<size_t>(stride_) * static_cast<size_t>(height);
    uvOffset_ = luma;
    storage_.resize(luma + static_cast<size_t>(stride_) * static_cast<size_t>((height + 1) / 2));
}

const uint8_t* Nv12Buffer::planeData(int plane) const {
    return storage_.data() + (plane == 0 ? 0 : uvOffset_);
}

uint8_t* Nv12Buffer::mutablePlaneData(int plane) {
    return storage_.data() + (plane == 0 ? 0 : uvOffset_);
}

std::shared_ptr<Nv12BufferPool> Nv12BufferPool::create(int32_t width, int32_t height,
                                                       size_t capacity) {
    return std::shared_ptr<Nv12BufferPool>(new Nv12BufferPool(width, height, capacity));
}

Nv12BufferPool::Nv12BufferPool(int32_t width, int32_t height, size_t capacity)
    : width_(width), height_(height), capacity_(capacity) {}

std::shared_ptr<Nv12Buffer> Nv12BufferPool::acquire() {
    std::unique_ptr<Nv12Buffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!buffer) buffer = std::make_unique<Nv12Buffer>(width_, height_);
    // The deleter holds the pool weakly: buffers outliving their pool are simply freed.
    std::weak_ptr<Nv12BufferPool> weak = weak_from_this();
    return std::shared_ptr<Nv12Buffer>(buffer.release(), [weak](Nv12Buffer* b) {
        if (auto pool = weak.lock()) {
            pool->recycle(b);
        } else {
            delete b;
        }
    });
}

void Nv12BufferPool::recycle(Nv12Buffer* buffer) {
    std::unique_ptr<Nv12Buffer> owned(buffer);
    std::lock_guard lock(mutex_);
    if (free_.size() < capacity_) free_.push_back(std::move(owned));
}

}  // namespace panelora
