#include "platform/linux/desktop/linux_desktop.h"

#include <cstdlib>
#include <string_view>

#include "platform/linux/gnome/gnome_platform.h"
#include "platform/linux/x11/x11_platform.h"
#include "platform/linux/shell/detached_spawn.h"
#include "support/log.h"

namespace panelora {
namespace {

constexpr int64_t kRetryNanos = 1'000'000'000;

auto logger() {
    return log::get("app");
}

std::string displayText(const std::string& name) {
    if (!name.empty()) return name;
    const char* display = std::getenv("DISPLAY");
    return display && *display ? display : "$DISPLAY";
}

}  // namespace

bool waylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return (display && *display) || (type && std::string_view(type) == "wayland");
}

std::unique_ptr<DesktopPlatform> LinuxDesktop::choose(const Options& options,
                                                      DesktopProblem& missing) {
    std::string gnomeWhy = "no GNOME on Wayland";
    const bool tryGnome = options.choice == Choice::gnome ||
                          (options.choice == Choice::automatic && waylandSession());
    if (tryGnome) {
        GnomePlatform::Options gnome{options.busAddress, options.pipewireRemote, options.encoders};
        std::string why;
        if (auto platform = GnomePlatform::create(gnome, &why)) return platform;
        gnomeWhy = "this Wayland desktop offers no GNOME screen cast";
        logger()->info("{}", "the GNOME backend is not available: " + why);
    }
    std::string x11Why;
    if (options.choice != Choice::gnome) {
        const std::string display = displayText(options.x11Display);
        X11Platform::Options x11;
        x11.displayName = options.x11Display;
        x11.encoders = options.encoders;
        std::string why;
        if (auto platform = X11Platform::create(x11, &why)) {
            if (platform->virtualDisplays().spareOutputAvailable(&why)) return platform;
            x11Why = "the X server at " + display + " has no spare output";
        } else {
            x11Why = "no usable X server at " + display;
        }
        logger()->info("{}", "the X11 backend is not available: " + why);
    }
    missing.status = LinuxTexts::needsDesktop;
    missing.missing = x11Why.empty() ? gnomeWhy : gnomeWhy + ", and " + x11Why;
    missing.remedy =
        "Log in to GNOME on Wayland, or run Xorg with a spare output (the dummy driver, or a "
        "driver with VIRTUAL outputs).";
    return nullptr;
}

LinuxDesktop::LinuxDesktop(Options options, const Clock& clock)
    : options_(std::move(options)), clock_(clock) {
    if (!options_.find) {
        options_.find = [](std::string_view program) { return findOnPath(program); };
    }
    if (!options_.spawn) options_.spawn = spawnDetached;
}

LinuxDesktop::~LinuxDesktop() = default;

DesktopPlatform* LinuxDesktop::platform() {
    if (platform_) return platform_.get();
    const int64_t now = clock_.uptimeNanos();
    if (lastTry_ && now - *lastTry_ < kRetryNanos) return nullptr;
    lastTry_ = now;
    DesktopProblem missing;
    platform_ = choose(options_, missing);
    if (platform_) {
        const bool gnome = platform_->kind() == DesktopPlatform::Kind::gnome;
        const std::string what = gnome ? "GNOME's compositor"
                                       : "the X server (display " +
                                             displayText(options_.x11Display) + ")";
        logger()->info("{}", gnome ? "desktop: GNOME on Wayland"
                                   : "desktop: X11 at " + displayText(options_.x11Display));
        if (options_.onGone) {
            platform_->setOnGone([onGone = options_.onGone, what] { onGone(what); });
        }
        missing_ = {};
    } else if (missing.missing != missing_.missing) {
        logger()->warn("{}", "no desktop to stream from: " + missing.missing);
        missing_ = std::move(missing);
    }
    return platform_.get();
}

void LinuxDesktop::reset() {
    platform_.reset();
    lastTry_.reset();
}

bool LinuxDesktop::screenRecordingPreflight() {
    DesktopPlatform* p = platform();
    if (!p) {
        captureProblem_ = missing_;
        return false;
    }
    return p->captureAllowed(captureProblem_);
}

bool LinuxDesktop::accessibilityTrusted(bool) {
    DesktopPlatform* p = platform();
    if (!p) {
        inputProblem_ = missing_;
        inputProblem_.missing = "there is no desktop to send them to";
        return false;
    }
    return p->inputAllowed(inputProblem_);
}

void LinuxDesktop::openURL(const std::string& url) {
    auto argv = settingsCommand(url, options_.desktops, options_.find);
    if (argv) options_.spawn(*argv);
}

PermissionTexts LinuxDesktop::texts() {
    return linuxPermissionTexts(captureProblem_, inputProblem_);
}

}  // namespace panelora
