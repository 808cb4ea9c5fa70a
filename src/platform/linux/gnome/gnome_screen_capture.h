// The GNOME capture: frames of a virtual monitor as its PipeWire stream delivers them (mutter
// sends one when the monitor was repainted, at most at the monitor's refresh rate, which the
// display set to the stream's rate), converted to NV12 at the encoded size into pooled buffers.
// A buffer whose picture did not change is skipped, and of the others only the changed tiles
// are converted again. The pointer is not in mutter's frames; when the capture should show it,
// it is drawn from the cursor metadata, and a buffer that only moved the pointer gives a new
// frame too.
//
// Threads: conversion runs on the monitor's PipeWire thread. Samples go to the caller's queue, at
// most 4 outstanding; while the queue is behind, the newest converted frame waits in one slot
// (replacing an older one) and goes out when a sample is done. onStopped comes once, on the
// monitors' events queue, when mutter ends the monitor. stop() is safe from any thread (also from
// inside onStopped); no sample is posted after it returns.
#pragma once

#include <memory>

#include "platform/linux/gnome/virtual_monitor.h"
#include "video/screen_capturer.h"

namespace panelora {

class GnomeCaptureBackend final : public CaptureBackend {
  public:
    explicit GnomeCaptureBackend(std::shared_ptr<VirtualMonitors> monitors);

    // The live virtual monitors of this process.
    std::vector<DisplayID> shareableDisplays(std::string* why) override;

    std::unique_ptr<CaptureStream> startStream(DisplayID display,
                                               const CaptureConfiguration& configuration,
                                               std::shared_ptr<SerialQueue> queue,
                                               Callbacks callbacks, std::string* why) override;

    static constexpr int kMaxOutstandingSamples = 4;

  private:
    const std::shared_ptr<VirtualMonitors> monitors_;
};

}  // namespace panelora
