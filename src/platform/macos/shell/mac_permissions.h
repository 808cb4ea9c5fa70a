// The two privacy permissions on macOS: the Screen Recording preflight and request of
// CoreGraphics, the event-posting preflight and request of CoreGraphics (granted in the
// Accessibility pane), and System Settings opened at the core's x-apple.systempreferences
// addresses by the workspace.
//
// Main queue only.
#pragma once

#include "app/permissions.h"

namespace panelora {

class MacPermissions final : public PermissionsBackend {
  public:
    bool screenRecordingPreflight() override;
    bool accessibilityTrusted(bool prompt) override;
    void requestScreenRecording() override;
    // An address that does not parse as a URL, or fails to open, is ignored.
    void openURL(const std::string& url) override;
};

}  // namespace panelora
