// The capture on macOS: ScreenCaptureKit streams of one display, at the encoded size and rate,
// '420v', with the queue depth and cursor the core asks for. Frames come in the capture's own
// pixel buffers (PixelBufferImage), so nothing is copied before the encoder.
//
// The platform delivers samples on a dispatch queue of the stream's own; each is described there
// (frame status, image, time stamp) and posted to the core's capture queue. shareableDisplays()
// and startStream() block on the session's start thread, each wait bounded; stop() blocks until
// the platform has stopped the stream (briefly, bounded), and no sample or stop notice is passed
// on once it has begun. onStopped comes on a platform queue when the system ends the stream
// (display gone, permission withdrawn).
#pragma once

#include "video/screen_capturer.h"

namespace panelora {

class ScreenCaptureKitBackend final : public CaptureBackend {
  public:
    // The displays of the shareable content (desktop and off-screen windows included), or the
    // platform's error (typically: Screen Recording not allowed).
    std::vector<DisplayID> shareableDisplays(std::string* why) override;

    std::unique_ptr<CaptureStream> startStream(DisplayID display,
                                               const CaptureConfiguration& configuration,
                                               std::shared_ptr<SerialQueue> queue,
                                               Callbacks callbacks, std::string* why) override;
};

}  // namespace panelora
