// X11Platform: the X11 desktop, every platform backend of the process for one X display, made and
// installed together.
//
//   std::string error;
//   auto platform = X11Platform::create("", &error);  // "" = $DISPLAY
//   if (!platform) { show error; }
//   auto session = Session::create(fd, platform->sessionEnvironment());
//
// It owns the RandR virtual display backend, the X11 capture backend, the libav codec factory
// and the X11 input backends (event poster, cursor source, display geometry); creating it
// installs the input backends into the core (SeamInstallation), and destroying it uninstalls them
// again if they are still its own.
//
// Lifetime: the sessions keep plain pointers to the video backends, and the injectors and the
// arrangement reach the installed input backends, so the platform must outlive every session
// made from its environment (stop them and let onEnded run first). Only one platform should be
// installed at a time: the core has one slot per backend, and the last created wins.
// Everything here is safe to read from any thread; creation and destruction belong to the
// application's start-up and shut-down.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/codec/libav_video_codec.h"
#include "platform/linux/desktop/desktop_platform.h"
#include "platform/linux/x11/randr_virtual_display.h"
#include "platform/linux/x11/x11_input_backends.h"
#include "platform/linux/x11/x11_screen_capture.h"
#include "session/session_environment.h"

namespace panelora {

class X11Platform final : public DesktopPlatform {
  public:
    struct Options {
        std::string displayName;  // as XOpenDisplay takes it; empty: $DISPLAY
        LibavVideoCodecFactory::Encoders encoders = LibavVideoCodecFactory::Encoders::automatic;
        // Device pixels per point for every backend; 0: desktopScaleFactor() of the server,
        // read once here.
        int scale = 0;
        // How virtual displays are made; automatic: a spare output when there is one, else a
        // RandR monitor on an enlarged screen.
        X11VirtualDisplayBackend::Route route = X11VirtualDisplayBackend::Route::automatic;
    };

    // Nothing, with `why`, when the X server cannot be reached or lacks what the backends need
    // (RandR 1.3, XTEST).
    static std::unique_ptr<X11Platform> create(std::string displayName, std::string* why = nullptr);
    static std::unique_ptr<X11Platform> create(const Options& options, std::string* why = nullptr);
    ~X11Platform() override;
    X11Platform(const X11Platform&) = delete;
    X11Platform& operator=(const X11Platform&) = delete;

    DesktopSeams seams() override;
    // "X11 at :0" ($DISPLAY's value, or "$DISPLAY" when unset).
    std::string description() const override;
    // The root window can be read; XTEST is there (LinuxPermissions' probes).
    bool captureAllowed(DesktopProblem& problem) override;
    bool inputAllowed(DesktopProblem& problem) override;

    // Called once when the X server goes away, with "the X server (display :0)".
    void setOnGone(std::function<void(std::string what)> handler) override;

    // The display name the backends were made for, as given (empty: $DISPLAY).
    const std::string& displayName() const { return displayName_; }

    X11VirtualDisplayBackend& virtualDisplays() { return virtualDisplays_; }
    X11CaptureBackend& capture() { return capture_; }
    LibavVideoCodecFactory& codecs() override { return codecs_; }
    const X11InputBackends& input() const { return input_; }

  private:
    X11Platform(const Options& options, int scale, X11InputBackends input);

    const std::string displayName_;
    X11VirtualDisplayBackend virtualDisplays_;
    X11CaptureBackend capture_;
    LibavVideoCodecFactory codecs_;
    const X11InputBackends input_;
    LinuxPermissions probes_;
    std::optional<SeamInstallation> installed_;  // last: uninstalled before the backends go
};

// The display name as the texts show it: as given, else $DISPLAY's value, else "$DISPLAY".
std::string x11DisplayText(const std::string& displayName);

}  // namespace panelora
