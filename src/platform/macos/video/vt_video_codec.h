// The codec on macOS: a VideoToolbox H.264 compression session, hardware encoder requested, with
// the core's settings applied as session properties in the core's order. Frames must be the
// capture's PixelBufferImage (anything else is refused: it would need a copy the capture exists
// to avoid). Each frame gets its own output handler, which VideoToolbox calls on its own thread;
// the compressed frame is taken from the sample buffer as it is (AVCC, 4-byte lengths) with the
// parameter sets of its format description.
//
// encode() may be called from the capture queue and the key-frame fallback queue, never at once;
// invalidate() from any thread, the output handler's included (the platform call then runs on a
// global queue, never inside its own handler). The session is released on a global queue too.
#pragma once

#include "video/h264_encoder.h"

namespace panelora {

class VideoToolboxCodecFactory final : public VideoCodecFactory {
  public:
    // Nothing when VideoToolbox makes no compression session of that size.
    std::unique_ptr<VideoCodec> create(const VideoCodecSettings& settings) override;
};

}  // namespace panelora
