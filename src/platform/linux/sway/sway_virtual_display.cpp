#include "platform/linux/sway/sway_virtual_display.h"

#include <set>

#include "support/log.h"

namespace panelora {
namespace {

std::set<std::string> outputNames(SwayIpc& ipc) {
    std::set<std::string> names;
    if (auto reply = ipc.request(SwayIpc::getOutputs)) {
        for (const auto& output : parseOutputs(*reply))
            names.insert(output.name);
    }
    return names;
}

class SwayVirtualDisplay final : public PlatformVirtualDisplay {
  public:
    SwayVirtualDisplay(std::shared_ptr<SwayLayout> layout, std::shared_ptr<OutputMaker> maker)
        : layout_(std::move(layout)), maker_(std::move(maker)) {}
    ~SwayVirtualDisplay() override {
        if (id_ != 0) layout_->park(id_);
    }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        if (id_ != 0 || settings.modes.empty()) return false;
        const VirtualDisplayMode& mode = settings.modes.front();
        const int factor = settings.hiDPI ? 2 : 1;
        const int pixelWidth = settings.encodedWidth ? static_cast<int>(settings.encodedWidth)
                                                     : static_cast<int>(mode.width) * factor;
        const int pixelHeight = settings.encodedHeight ? static_cast<int>(settings.encodedHeight)
                                                       : static_cast<int>(mode.height) * factor;
        std::string why;
        const auto name = layout_->spareOrNewOutput(*maker_, &why);
        const auto id =
            name ? layout_->activate(*name, pixelWidth, pixelHeight, static_cast<int>(mode.width),
                                     static_cast<int>(mode.height), mode.refreshRate, &why)
                 : std::nullopt;
        if (!id) {
            log::get("sway")->warn("no virtual display: {}", why);
            return false;
        }
        id_ = *id;
        log::get("sway")->info("display {} is {} at {}×{} pixels", id_, *name, pixelWidth,
                               pixelHeight);
        return true;
    }
    DisplayID displayID() const override { return id_; }

  private:
    const std::shared_ptr<SwayLayout> layout_;
    const std::shared_ptr<OutputMaker> maker_;
    DisplayID id_ = 0;
};

}  // namespace

std::optional<std::string> SwayOutputMaker::makeOutput(std::string* why) {
    const auto before = outputNames(*ipc_);
    if (!ipc_->command("create_output", why)) return std::nullopt;
    for (const auto& name : outputNames(*ipc_)) {
        if (!before.contains(name)) return name;
    }
    if (why) *why = "sway made no new output";
    return std::nullopt;
}

std::unique_ptr<PlatformVirtualDisplay> SwayVirtualDisplayBackend::create(
    const VirtualDisplayDescriptor&) {
    return std::make_unique<SwayVirtualDisplay>(layout_, maker_);
}

}  // namespace panelora
