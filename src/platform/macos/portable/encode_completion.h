// Joins the two ends of one VideoToolbox encode call into the single completion the VideoCodec
// seam promises. The output handler may run before the encode call returns, after it, or not at
// all when the call fails; the completion runs exactly once for an accepted frame (as soon as
// both ends have been seen) and never for a refused one.
//
// Shared by the encoding thread (callReturned) and the encoder's output thread (handlerCalled);
// the completion never runs with the gate's lock held.
#pragma once

#include <mutex>
#include <optional>

#include "video/h264_encoder.h"

namespace panelora::vt {

class EncodeCompletion {
  public:
    explicit EncodeCompletion(VideoCodec::Completion completion);

    // From the output handler: the frame's sample, or nothing when it failed. Later calls for
    // the same frame are ignored.
    void handlerCalled(std::optional<EncodedSample> sample);
    // From the encoding thread once the encode call has returned.
    void callReturned(bool accepted);

  private:
    void finish(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    VideoCodec::Completion completion_;    // guarded; emptied once used
    bool returned_ = false;                // guarded
    bool accepted_ = false;                // guarded
    bool handled_ = false;                 // guarded
    std::optional<EncodedSample> sample_;  // guarded
};

}  // namespace panelora::vt
