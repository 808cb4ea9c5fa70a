// SwayPlatform: the sway desktop (wlroots), every backend of the process made and installed
// together: the layout over sway's IPC socket, our headless outputs as virtual displays, their
// capture by screen copy, the virtual pointer and keyboard, the cursor source, and the idle
// inhibitor that keeps sway awake while a session streams.
//
//   std::string why;
//   auto platform = SwayPlatform::create({}, &why);  // $SWAYSOCK and $WAYLAND_DISPLAY
//   if (!platform) { show why; }
//
// The cursor: headless sway draws the pointer into every frame, and tells clients neither where
// it is nor what it looks like. So the frames keep it and the sessions send no cursor packets
// (the seams say framesAlwaysShowPointer): whatever the tablet asks, it shows exactly the one
// pointer sway draws, in the shape the window under it chose.
//
// Lifetime and threads as the other platforms' (desktop_platform.h).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/linux/desktop/desktop_platform.h"
#include "platform/linux/sway/sway_capture.h"
#include "platform/linux/sway/sway_idle.h"
#include "platform/linux/sway/sway_input.h"
#include "platform/linux/sway/sway_layout.h"
#include "platform/linux/sway/sway_virtual_display.h"

namespace panelora {

class SwayPlatform final : public DesktopPlatform {
  public:
    struct Options {
        std::string ipcSocket;       // empty: $SWAYSOCK
        std::string waylandDisplay;  // as WAYLAND_DISPLAY takes it; empty: the environment's
        LibavVideoCodecFactory::Encoders encoders = LibavVideoCodecFactory::Encoders::automatic;
        std::string ownedFile;  // where our outputs' names are kept; empty: the default
    };

    // Nothing, with `why`, when sway's IPC does not answer or its Wayland socket lacks the
    // screen copy, virtual pointer or virtual keyboard.
    static std::unique_ptr<SwayPlatform> create(const Options& options, std::string* why = nullptr);
    ~SwayPlatform() override;

    DesktopSeams seams() override;
    std::string description() const override { return ipc_->version(); }
    LibavVideoCodecFactory& codecs() override { return codecs_; }
    // sway still answers on its IPC socket.
    bool captureAllowed(DesktopProblem& problem) override;
    bool inputAllowed(DesktopProblem& problem) override;
    // Called once when sway stops answering, with "sway".
    void setOnGone(std::function<void(std::string what)> handler) override;

    const std::shared_ptr<SwayIpc>& ipc() const { return ipc_; }
    const std::shared_ptr<SwayLayout>& layout() const { return layout_; }
    const std::shared_ptr<SwayEventPoster>& poster() const { return poster_; }

  private:
    SwayPlatform(const Options& options, std::shared_ptr<SwayIpc> ipc,
                 std::shared_ptr<SwayLayout> layout, std::shared_ptr<SwayEventPoster> poster);

    const std::shared_ptr<SwayIpc> ipc_;
    const std::shared_ptr<SwayLayout> layout_;
    SwayVirtualDisplayBackend virtualDisplays_;
    SwayCaptureBackend capture_;
    LibavVideoCodecFactory codecs_;
    const std::shared_ptr<SwayEventPoster> poster_;
    const std::shared_ptr<SwayCursorSource> cursor_;
    std::shared_ptr<SwayIdleInhibitor> idle_;  // null when sway offers no idle inhibitor
    struct GoneSlot {
        std::mutex mutex;
        std::function<void(std::string)> handler;  // guarded by mutex
    };
    const std::shared_ptr<GoneSlot> onGone_;
    std::optional<SeamInstallation> installed_;  // last: uninstalled before the backends go
};

// True when $SWAYSOCK names a socket: an automatic choice tries sway then.
bool swaySession();

}  // namespace panelora
