// Permissions: the two privacy permissions the application needs (Screen Recording, without which
// nothing streams, and Accessibility, without which input injection does not work), the advice the
// menu shows while one is missing, and the shortcuts into the system's settings.
//
// PermissionsBackend is the platform seam. The Controller calls the probes (and then texts()) once
// a second and the prompts once per launch, all on the main queue; the menu calls the open
// operations.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace panelora {

struct PermissionTexts;

class PermissionsBackend {
  public:
    virtual ~PermissionsBackend() = default;

    // Cheap probes, no user interface.
    virtual bool screenRecordingPreflight() = 0;
    // With prompt set, the platform may show its own request when the process is not trusted.
    virtual bool accessibilityTrusted(bool prompt) = 0;

    // Asks the platform to show its Screen Recording request; the answer comes through the probe.
    virtual void requestScreenRecording() = 0;

    // Opens a settings address built below. A backend without the macOS scheme maps the pane
    // (and anchor) to its desktop's own settings, or ignores what it cannot show.
    virtual void openURL(const std::string& url) = 0;

    // What the status and the menu say while a probe says no, in this platform's words; asked
    // right after the probes. The default is the macOS wording.
    virtual PermissionTexts texts();
};

namespace Permissions {

inline constexpr std::string_view settingsScheme = "x-apple.systempreferences";
inline constexpr std::string_view securityPane = "com.apple.preference.security";
inline constexpr std::string_view displaysPane = "com.apple.Displays-Settings.extension";
inline constexpr std::string_view screenCaptureAnchor = "Privacy_ScreenCapture";
inline constexpr std::string_view accessibilityAnchor = "Privacy_Accessibility";

// Scheme, colon, pane and, when there is one, "?" and the anchor.
std::string settingsAddress(std::string_view pane, std::optional<std::string_view> anchor);

// True when `address` reads as a URL: a scheme (a letter, then letters, digits, "+", "-" or
// "."), a colon, and a non-empty rest without spaces or control characters.
bool isValidURL(std::string_view address);

}  // namespace Permissions

// Each builds its address and hands it to the backend; an address that is not a URL is dropped.
void openScreenRecordingSettings(PermissionsBackend& backend);
void openAccessibilitySettings(PermissionsBackend& backend);
void openDisplaySettings(PermissionsBackend& backend);

// What the menu shows while a permission is missing: a caption, a button, a caption.
struct PermissionAdvice {
    std::string_view headline;
    std::string_view button;
    std::string_view followUp;
};

inline constexpr PermissionAdvice screenRecordingAdvice{
    "Nothing can stream: allow Screen Recording",
    "Open Screen Recording Settings\u2026",
    "If it's already on, switch it off and on again (or remove and re-add Panelora).",
};

inline constexpr PermissionAdvice accessibilityAdvice{
    "Touch, keyboard and trackpad are off: allow Accessibility",
    "Open Accessibility Settings\u2026",
    "If it's already on, remove Panelora with the \u2212 button, add it again with +, then "
    "relaunch it.",
};

namespace Permissions {
// The status while nothing can stream, as macOS words it.
inline constexpr const char* allowScreenRecordingStatus =
    "Allow Screen Recording for Panelora in System Settings, then relaunch";
}  // namespace Permissions

// The menu's advice as owned text, so that a platform can word it at run time.
struct AdviceText {
    std::string headline;
    std::string button;
    std::string followUp;

    static AdviceText of(const PermissionAdvice& advice) {
        return {std::string(advice.headline), std::string(advice.button),
                std::string(advice.followUp)};
    }
    bool operator==(const AdviceText&) const = default;
};

// Everything a platform words about missing permissions; the defaults are the macOS texts.
struct PermissionTexts {
    std::string blockedStatus = Permissions::allowScreenRecordingStatus;
    AdviceText screenRecording = AdviceText::of(screenRecordingAdvice);
    AdviceText accessibility = AdviceText::of(accessibilityAdvice);
    bool operator==(const PermissionTexts&) const = default;
};

inline PermissionTexts PermissionsBackend::texts() {
    return {};
}

}  // namespace panelora
