#include "platform/linux/sway/sway_idle.h"

#include <wayland-client.h>

#include "idle-inhibit-unstable-v1-client-protocol.h"

namespace panelora {

std::shared_ptr<SwayIdleInhibitor> SwayIdleInhibitor::create(const std::string& waylandDisplay,
                                                             std::string* why) {
    std::shared_ptr<SwayIdleInhibitor> inhibitor(new SwayIdleInhibitor);
    inhibitor->link_ = WaylandLink::connect(waylandDisplay, why);
    if (!inhibitor->link_) return nullptr;
    if (!inhibitor->link_->compositor() || !inhibitor->link_->idleInhibitors()) {
        if (why) *why = "the compositor offers no idle inhibit manager";
        return nullptr;
    }
    inhibitor->link_->startEventThread();
    return inhibitor;
}

std::shared_ptr<void> SwayIdleInhibitor::begin(const char*) {
    struct Held {
        wl_surface* surface = nullptr;
        zwp_idle_inhibitor_v1* inhibitor = nullptr;
    };
    auto held = std::make_unique<Held>();
    {
        std::lock_guard lock(mutex_);
        held->surface = wl_compositor_create_surface(link_->compositor());
        held->inhibitor =
            zwp_idle_inhibit_manager_v1_create_inhibitor(link_->idleInhibitors(), held->surface);
        link_->flush();
    }
    // The token holds this object, so the connection outlives every inhibitor on it.
    return std::shared_ptr<void>(held.release(), [self = shared_from_this()](void* p) {
        auto* h = static_cast<Held*>(p);
        {
            std::lock_guard lock(self->mutex_);
            zwp_idle_inhibitor_v1_destroy(h->inhibitor);
            wl_surface_destroy(h->surface);
            self->link_->flush();
        }
        delete h;
    });
}

}  // namespace panelora
