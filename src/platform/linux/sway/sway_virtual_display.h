// The sway virtual display: one of our headless outputs (SwayLayout), a parked one reused or a
// new one made through the OutputMaker, given the stream's encoded pixels at the scale that makes
// it the profile's point size (fractional scales are fine on sway), right of the main output.
// Destroying the display parks the output again. Creation, applySettings and destruction may
// come from different threads, one at a time.
#pragma once

#include <memory>

#include "platform/linux/sway/sway_layout.h"
#include "video/virtual_display.h"

namespace panelora {

// sway's way: create_output over IPC; the new output is the name get_outputs did not list before.
class SwayOutputMaker final : public OutputMaker {
  public:
    explicit SwayOutputMaker(std::shared_ptr<SwayIpc> ipc) : ipc_(std::move(ipc)) {}
    std::optional<std::string> makeOutput(std::string* why) override;

  private:
    const std::shared_ptr<SwayIpc> ipc_;
};

class SwayVirtualDisplayBackend final : public VirtualDisplayBackend {
  public:
    SwayVirtualDisplayBackend(std::shared_ptr<SwayLayout> layout,
                              std::shared_ptr<OutputMaker> maker)
        : layout_(std::move(layout)), maker_(std::move(maker)) {}

    std::unique_ptr<PlatformVirtualDisplay> create(
        const VirtualDisplayDescriptor& descriptor) override;

  private:
    const std::shared_ptr<SwayLayout> layout_;
    const std::shared_ptr<OutputMaker> maker_;
};

}  // namespace panelora
