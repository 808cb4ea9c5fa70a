#include "platform/macos/portable/encode_completion.h"

namespace panelora::vt {

EncodeCompletion::EncodeCompletion(VideoCodec::Completion completion)
    : completion_(std::move(completion)) {}

void EncodeCompletion::handlerCalled(std::optional<EncodedSample> sample) {
    std::unique_lock lock(mutex_);
    if (handled_) return;
    handled_ = true;
    sample_ = std::move(sample);
    finish(lock);
}

void EncodeCompletion::callReturned(bool accepted) {
    std::unique_lock lock(mutex_);
    if (returned_) return;
    returned_ = true;
    accepted_ = accepted;
    finish(lock);
}

void EncodeCompletion::finish(std::unique_lock<std::mutex>& lock) {
    if (!returned_ || !handled_) return;
    VideoCodec::Completion completion = std::move(completion_);
    completion_ = nullptr;
    std::optional<EncodedSample> sample = std::move(sample_);
    sample_.reset();
    lock.unlock();
    if (accepted_ && completion) completion(std::move(sample));
}

}  // namespace panelora::vt
