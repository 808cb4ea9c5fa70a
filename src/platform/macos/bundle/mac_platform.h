// MacPlatform: every macOS backend of the process, made and installed together, as X11Platform
// is on Linux.
//
//   auto platform = MacPlatform::create();
//   auto session = Session::create(fd, platform->sessionEnvironment());
//
// It owns the CGVirtualDisplay backend, the ScreenCaptureKit capture, the VideoToolbox codec
// factory and the input backends (CGEvent poster, NSCursor source, CoreGraphics geometry);
// creating it installs the input backends into the core, destroying it uninstalls them if they
// are still its own. Sessions get a process activity while they stream.
//
// Lifetime: sessions keep plain pointers to the video backends, so the platform must outlive
// every session made from its environment. Create and destroy it on the main thread.
#pragma once

#include <memory>

#include "platform/macos/input/cg_display_geometry.h"
#include "platform/macos/input/cg_event_poster.h"
#include "platform/macos/input/ns_cursor_source.h"
#include "platform/macos/video/mac_virtual_display.h"
#include "platform/macos/video/sck_capture.h"
#include "platform/macos/video/vt_video_codec.h"
#include "session/session_environment.h"

namespace panelora {

class MacPlatform {
  public:
    static std::unique_ptr<MacPlatform> create();
    ~MacPlatform();
    MacPlatform(const MacPlatform&) = delete;
    MacPlatform& operator=(const MacPlatform&) = delete;

    // SessionEnvironment::standard over these backends, with the process activity.
    SessionEnvironment sessionEnvironment();

  private:
    MacPlatform();

    MacVirtualDisplayBackend virtualDisplays_;
    ScreenCaptureKitBackend capture_;
    VideoToolboxCodecFactory codecs_;
    const std::shared_ptr<CGEventPoster> poster_;
    const std::shared_ptr<CGDisplayGeometry> geometry_;
    const std::shared_ptr<NSCursorSource> cursor_;
};

}  // namespace panelora
