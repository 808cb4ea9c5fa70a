// DesktopPlatform: the backends of one Linux desktop, made and installed together (X11Platform
// for X11, GnomePlatform for GNOME on Wayland); what the program and the benchmarks need from
// either. The probes say whether capture and input work now, and why not in Linux words.
//
// Lifetime: sessions keep plain pointers to the backends, so the platform must outlive every
// session made from its environment. The probes are for the main queue.
#pragma once

#include <functional>
#include <string>

#include "platform/linux/codec/libav_video_codec.h"
#include "platform/linux/shell/linux_permissions.h"
#include "session/session_environment.h"

namespace panelora {

class DesktopPlatform {
  public:
    enum class Kind { x11, gnome };

    virtual ~DesktopPlatform() = default;
    virtual Kind kind() const = 0;
    // SessionEnvironment::standard over this platform's backends; a fresh one per call.
    virtual SessionEnvironment sessionEnvironment() = 0;
    virtual LibavVideoCodecFactory& codecs() = 0;

    // True when the desktop lets Panelora capture (input) now; else `problem` says why.
    virtual bool captureAllowed(DesktopProblem& problem) = 0;
    virtual bool inputAllowed(DesktopProblem& problem) = 0;

    // Called once, on a thread of the platform, when the desktop goes away (the X server, or
    // GNOME's compositor): every session is over and nothing of this platform works any more.
    virtual void setOnGone(std::function<void()> handler) = 0;
};

}  // namespace panelora
