// SwayCaptureBackend: the capture of one of our outputs with wlroots' screen copy, into shared
// memory, on a thread of its own per stream with a Wayland connection of its own.
//
// The first frame is copied whole; after it each copy waits in the compositor until something
// changed (copy_with_damage), and only the tiles that changed within the damage are converted
// again (the incremental converter): sway damages an output also for repaints that change none
// of its pixels, so the damage is compared with the last frame (picture_diff). Frames come only
// on change. sway draws the pointer into every frame of a
// headless output whatever the request says, so `showsCursor` changes nothing here.
//
// A stream ends, calling onStopped once, when its display is parked, its output goes or the
// compositor goes; stop() by the owner ends it silently. stop() joins the thread.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/sway/sway_layout.h"
#include "video/screen_capturer.h"

namespace panelora {

class SwayCaptureBackend final : public CaptureBackend {
  public:
    // `waylandDisplay` as WAYLAND_DISPLAY takes it; empty: the environment's.
    SwayCaptureBackend(std::shared_ptr<SwayLayout> layout, std::string waylandDisplay);

    std::vector<DisplayID> shareableDisplays(std::string* why) override;
    std::unique_ptr<CaptureStream> startStream(DisplayID display,
                                               const CaptureConfiguration& configuration,
                                               std::shared_ptr<SerialQueue> queue,
                                               Callbacks callbacks, std::string* why) override;

    static constexpr int kMaxOutstandingSamples = 4;

  private:
    const std::shared_ptr<SwayLayout> layout_;
    const std::string waylandDisplay_;
};

}  // namespace panelora
