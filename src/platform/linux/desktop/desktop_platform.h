// DesktopPlatform: the backends of one Linux desktop, made together and owned by one object
// (X11Platform in x11/, GnomePlatform in gnome/); what the program and the benchmarks need from
// either. The probes say whether capture and input work now, and why not in Linux words.
//
// Lifetime: sessions keep plain pointers to the backends, so the platform must outlive every
// session made from its environment. The probes are for the main queue.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "input/pointer_injector.h"
#include "platform/linux/codec/libav_video_codec.h"
#include "platform/linux/shell/linux_permissions.h"
#include "session/session_environment.h"

namespace panelora {

// Every seam a desktop implements, all owned by its platform.
struct DesktopSeams {
    // Each session's video chain, handed to it through sessionEnvironment(): the session's
    // start-up creates the display and the capture, the capture queue feeds the codec.
    VirtualDisplayBackend* virtualDisplays = nullptr;
    CaptureBackend* capture = nullptr;
    VideoCodecFactory* codecs = nullptr;
    // Process-wide, installed into the core while the platform lives (SeamInstallation): the
    // injectors' poster (pointer on the reader thread, keys on the key queue), the geometry (also
    // the arrangement's, on the main queue) and the cursor (the tracker's sampler queue).
    InputBackends input;
    // The desktop draws the pointer into every frame, asked or not (headless sway): the sessions
    // send no cursor packets, so that the tablet never draws a second one.
    bool framesAlwaysShowPointer = false;
    // The desktop's own way of keeping the screen awake while a session streams (sway: the idle
    // inhibit protocol); empty: the D-Bus and X ways (shell/idle_inhibitor.h).
    std::shared_ptr<ProcessActivity> activity = nullptr;
};

class DesktopPlatform {
  public:
    virtual ~DesktopPlatform() = default;
    virtual DesktopSeams seams() = 0;
    // SessionEnvironment::standard over seams(); a fresh one per call.
    SessionEnvironment sessionEnvironment();
    virtual LibavVideoCodecFactory& codecs() = 0;

    // The desktop as the log names it ("GNOME on Wayland", "X11 at :0").
    virtual std::string description() const = 0;

    // True when the desktop lets Panelora capture (input) now; else `problem` says why.
    virtual bool captureAllowed(DesktopProblem& problem) = 0;
    virtual bool inputAllowed(DesktopProblem& problem) = 0;

    // Called once, on a thread of the platform, when the desktop goes away (the X server, or
    // GNOME's compositor), with what went ("the X server (display :0)", "GNOME's compositor"):
    // every session is over and nothing of this platform works any more.
    virtual void setOnGone(std::function<void(std::string what)> handler) = 0;
};

// The one place a platform's process-wide seams are installed into the core
// (installDisplayGeometry, installInjectionBackends) and uninstalled again. A platform makes it at
// the end of its create() and holds it as its last member, so that its seams are uninstalled
// before its backends go; only what is still its own is uninstalled, so that a newer platform's
// seams stay in place.
class SeamInstallation {
  public:
    explicit SeamInstallation(InputBackends input);
    ~SeamInstallation();
    SeamInstallation(const SeamInstallation&) = delete;
    SeamInstallation& operator=(const SeamInstallation&) = delete;

  private:
    const InputBackends input_;
};

}  // namespace panelora
