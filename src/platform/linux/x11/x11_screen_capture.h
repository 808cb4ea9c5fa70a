// The X11 capture: MIT-SHM grabs of one display's rectangle of the root window, driven by
// DAMAGE so that an unchanging display yields no frames, paced to the stream's rate, converted
// to NV12 at the encoded size into pooled buffers that the encoder takes as they are.
//
// Each stream owns an X connection and a capture thread that waits on the connection with
// poll(). Samples are posted to the caller's queue, at most 4 outstanding: when the queue falls
// behind, new frames are not grabbed (the damage stays pending) until it catches up. The stream
// calls onStopped once, from its thread, when the display goes away or the X connection breaks.
// stop() ends and joins the thread; it is safe from any thread, also from inside onStopped.
#pragma once

#include <string>

#include "video/screen_capturer.h"

namespace panelora {

class X11CaptureBackend final : public CaptureBackend {
  public:
    // `displayName` as XOpenDisplay takes it; empty: $DISPLAY.
    explicit X11CaptureBackend(std::string displayName = {});

    // The enabled RandR outputs (virtual displays with their own IDs); an error when the server
    // cannot be reached.
    std::vector<DisplayID> shareableDisplays(std::string* why) override;

    std::unique_ptr<CaptureStream> startStream(DisplayID display,
                                               const CaptureConfiguration& configuration,
                                               std::shared_ptr<SerialQueue> queue,
                                               Callbacks callbacks, std::string* why) override;

    static constexpr int kMaxOutstandingSamples = 4;

  private:
    std::string displayName_;
};

}  // namespace panelora
