// SwayIdleInhibitor: keeps sway from idling (swayidle's blanking and locking) while a session
// streams, with the idle inhibit protocol: a surface of ours with no role, which sway counts as
// visible, carries an inhibitor for as long as the token lives. The user's work on the tablet is
// input sway sees, but watching the tablet is not.
//
// Threads: begin() on the session's start thread; a token may go on any thread. The connection's
// events are dispatched on a thread of its own.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/linux/sway/wayland_link.h"
#include "session/session_environment.h"

namespace panelora {

class SwayIdleInhibitor final : public ProcessActivity,
                                public std::enable_shared_from_this<SwayIdleInhibitor> {
  public:
    // Nothing, with `why`, when the compositor offers no idle inhibit manager.
    static std::shared_ptr<SwayIdleInhibitor> create(const std::string& waylandDisplay,
                                                     std::string* why);
    std::shared_ptr<void> begin(const char* reason) override;

  private:
    SwayIdleInhibitor() = default;

    std::mutex mutex_;  // serialises the requests and the proxies' ends
    std::unique_ptr<WaylandLink> link_;
};

}  // namespace panelora
