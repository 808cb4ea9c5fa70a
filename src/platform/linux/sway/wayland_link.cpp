#include "platform/linux/sway/wayland_link.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <wayland-client.h>

#include "idle-inhibit-unstable-v1-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace panelora {

struct WaylandLink::Listeners {
    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version) {
        auto* link = static_cast<WaylandLink*>(data);
        auto bind = [&](const wl_interface* wanted, uint32_t most) {
            return wl_registry_bind(registry, name, wanted, std::min(version, most));
        };
        if (std::strcmp(interface, wl_shm_interface.name) == 0 && !link->shm_) {
            link->shm_ = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
        } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !link->seat_) {
            link->seat_ = static_cast<wl_seat*>(bind(&wl_seat_interface, 1));
        } else if (std::strcmp(interface, wl_output_interface.name) == 0 && version >= 4) {
            auto output = std::make_unique<Output>();
            output->global = name;
            output->output = static_cast<wl_output*>(bind(&wl_output_interface, 4));
            wl_output_add_listener(output->output, &outputListener, output.get());
            std::lock_guard lock(link->mutex_);
            link->outputs_.push_back(std::move(output));
        } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 &&
                   !link->screencopy_) {
            link->screencopyVersion_ = std::min(version, 3u);
            link->screencopy_ = static_cast<zwlr_screencopy_manager_v1*>(
                bind(&zwlr_screencopy_manager_v1_interface, 3));
        } else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0 &&
                   !link->pointers_) {
            link->pointersVersion_ = std::min(version, 2u);
            link->pointers_ = static_cast<zwlr_virtual_pointer_manager_v1*>(
                bind(&zwlr_virtual_pointer_manager_v1_interface, 2));
        } else if (std::strcmp(interface, wl_compositor_interface.name) == 0 &&
                   !link->compositor_) {
            link->compositor_ = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 1));
        } else if (std::strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) == 0 &&
                   !link->idleInhibitors_) {
            link->idleInhibitors_ = static_cast<zwp_idle_inhibit_manager_v1*>(
                bind(&zwp_idle_inhibit_manager_v1_interface, 1));
        } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0 &&
                   !link->keyboards_) {
            link->keyboards_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
                bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
        }
    }
    static void globalRemove(void* data, wl_registry*, uint32_t name) {
        auto* link = static_cast<WaylandLink*>(data);
        std::lock_guard lock(link->mutex_);
        auto& outputs = link->outputs_;
        for (auto it = outputs.begin(); it != outputs.end(); ++it) {
            if ((*it)->global != name) continue;
            wl_output_release((*it)->output);
            outputs.erase(it);
            break;
        }
    }
    static constexpr wl_registry_listener registryListener{global, globalRemove};

    static constexpr wl_output_listener outputListener{
        [](void*, wl_output*, int32_t, int32_t, int32_t, int32_t, int32_t, const char*, const char*,
           int32_t) {},
        [](void*, wl_output*, uint32_t, int32_t, int32_t, int32_t) {},
        [](void* data, wl_output*) { static_cast<Output*>(data)->named = true; },
        [](void*, wl_output*, int32_t) {},
        [](void* data, wl_output*, const char* name) {
            static_cast<Output*>(data)->name = name ? name : "";
        },
        [](void*, wl_output*, const char*) {},
    };
};

std::unique_ptr<WaylandLink> WaylandLink::connect(const std::string& display, std::string* why) {
    std::unique_ptr<WaylandLink> link(new WaylandLink);
    link->display_ = wl_display_connect(display.empty() ? nullptr : display.c_str());
    if (!link->display_) {
        if (why) {
            *why = "no Wayland compositor at " +
                   (display.empty() ? std::string("$WAYLAND_DISPLAY") : display);
        }
        return nullptr;
    }
    link->registry_ = wl_display_get_registry(link->display_);
    wl_registry_add_listener(link->registry_, &Listeners::registryListener, link.get());
    // Globals, then the outputs' names.
    if (wl_display_roundtrip(link->display_) < 0 || wl_display_roundtrip(link->display_) < 0) {
        if (why) *why = "the Wayland compositor did not answer";
        return nullptr;
    }
    return link;
}

WaylandLink::~WaylandLink() {
    if (events_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof(one));
        events_.join();
    }
    if (stopFd_ >= 0) ::close(stopFd_);
    if (!display_) return;
    for (auto& output : outputs_)
        wl_output_release(output->output);
    if (screencopy_) zwlr_screencopy_manager_v1_destroy(screencopy_);
    if (pointers_) zwlr_virtual_pointer_manager_v1_destroy(pointers_);
    if (keyboards_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboards_));
    if (idleInhibitors_) zwp_idle_inhibit_manager_v1_destroy(idleInhibitors_);
    if (compositor_) wl_compositor_destroy(compositor_);
    if (seat_) wl_seat_destroy(seat_);
    if (shm_) wl_shm_destroy(shm_);
    if (registry_) wl_registry_destroy(registry_);
    wl_display_flush(display_);
    wl_display_disconnect(display_);
}

wl_output* WaylandLink::output(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (const auto& output : outputs_) {
        if (output->name == name) return output->output;
    }
    return nullptr;
}

bool WaylandLink::flush() {
    return wl_display_flush(display_) >= 0 || errno == EAGAIN;
}

bool WaylandLink::dispatchUntil(const std::function<bool()>& done, int stopFd) {
    while (!done()) {
        while (wl_display_prepare_read(display_) != 0) {
            if (wl_display_dispatch_pending(display_) < 0) return false;
            if (done()) return true;
        }
        if (wl_display_flush(display_) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display_);
            return false;
        }
        pollfd fds[2] = {{wl_display_get_fd(display_), POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR) {
            wl_display_cancel_read(display_);
            continue;
        }
        if (ready < 0 || (stopFd >= 0 && (fds[1].revents & POLLIN))) {
            wl_display_cancel_read(display_);
            return false;
        }
        if (fds[0].revents & (POLLERR | POLLHUP) && !(fds[0].revents & POLLIN)) {
            wl_display_cancel_read(display_);
            return false;
        }
        if (wl_display_read_events(display_) < 0) return false;
        if (wl_display_dispatch_pending(display_) < 0) return false;
    }
    return true;
}

void WaylandLink::startEventThread() {
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    events_ = std::thread([this] { dispatchUntil([] { return false; }, stopFd_); });
}

}  // namespace panelora
