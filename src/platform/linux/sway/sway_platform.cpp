#include "platform/linux/sway/sway_platform.h"

#include <cstdlib>
#include <mutex>

#include "platform/linux/sway/wayland_link.h"
#include "support/log.h"

namespace panelora {

bool swaySession() {
    const char* socket = std::getenv("SWAYSOCK");
    return socket && *socket;
}

std::unique_ptr<SwayPlatform> SwayPlatform::create(const Options& options, std::string* why) {
    std::shared_ptr<SwayIpc> ipc = SwayIpc::connect(options.ipcSocket, why);
    if (!ipc) return nullptr;
    {
        auto link = WaylandLink::connect(options.waylandDisplay, why);
        if (!link) return nullptr;
        if (!link->screencopy() || link->screencopyVersion() < 2) {
            if (why) *why = "the compositor offers no wlr screen copy with damage";
            return nullptr;
        }
    }
    auto layout = SwayLayout::create(ipc, options.ownedFile, why);
    if (!layout) return nullptr;
    auto poster = SwayEventPoster::create(layout, options.waylandDisplay, why);
    if (!poster) return nullptr;
    std::unique_ptr<SwayPlatform> platform(
        new SwayPlatform(options, std::move(ipc), std::move(layout), std::move(poster)));
    std::string idleWhy;
    platform->idle_ = SwayIdleInhibitor::create(options.waylandDisplay, &idleWhy);
    if (!platform->idle_) log::get("sway")->info("no idle inhibition: {}", idleWhy);
    platform->installed_.emplace(platform->seams().input);
    return platform;
}

SwayPlatform::SwayPlatform(const Options& options, std::shared_ptr<SwayIpc> ipc,
                           std::shared_ptr<SwayLayout> layout,
                           std::shared_ptr<SwayEventPoster> poster)
    : ipc_(std::move(ipc)),
      layout_(std::move(layout)),
      virtualDisplays_(layout_, std::make_shared<SwayOutputMaker>(ipc_)),
      capture_(layout_, options.waylandDisplay),
      codecs_(options.encoders),
      poster_(std::move(poster)),
      cursor_(std::make_shared<SwayCursorSource>(poster_)),
      onGone_(std::make_shared<GoneSlot>()) {
    layout_->setLostHandler([slot = onGone_] {
        std::function<void(std::string)> handler;
        {
            std::lock_guard lock(slot->mutex);
            handler = slot->handler;
        }
        if (handler) handler("sway");
    });
}

SwayPlatform::~SwayPlatform() = default;

DesktopSeams SwayPlatform::seams() {
    DesktopSeams seams{&virtualDisplays_, &capture_, &codecs_, {poster_, layout_, cursor_}};
    seams.framesAlwaysShowPointer = true;
    seams.activity = idle_;
    return seams;
}

void SwayPlatform::setOnGone(std::function<void(std::string what)> handler) {
    std::lock_guard lock(onGone_->mutex);
    onGone_->handler = std::move(handler);
}

bool SwayPlatform::captureAllowed(DesktopProblem& problem) {
    if (ipc_->request(SwayIpc::getVersion)) {
        problem = {};
        return true;
    }
    problem = {"sway has gone away", "sway's IPC socket does not answer any more",
               "Log in to sway again, then restart Panelora."};
    return false;
}

bool SwayPlatform::inputAllowed(DesktopProblem& problem) {
    if (ipc_->request(SwayIpc::getVersion)) {
        problem = {};
        return true;
    }
    problem = {"", "sway's virtual pointer and keyboard have gone with it",
               "Log in to sway again, then restart Panelora."};
    return false;
}

}  // namespace panelora
