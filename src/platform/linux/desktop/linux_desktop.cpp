#include "platform/linux/desktop/linux_desktop.h"

#include <cctype>
#include <string_view>

#include "platform/linux/shell/detached_spawn.h"
#include "support/log.h"

namespace panelora {
namespace {

constexpr int64_t kRetryNanos = 1'000'000'000;

auto logger() {
    return log::get("app");
}

}  // namespace

std::unique_ptr<DesktopPlatform> LinuxDesktop::choose(const Options& options,
                                                      DesktopProblem& missing,
                                                      std::span<const Desktop> table) {
    const bool automatic = options.desktop == automaticDesktop;
    std::string lacking;
    std::string remedy;
    for (const Desktop& desktop : table) {
        if (!automatic && desktop.name != options.desktop) continue;
        std::string why;
        if (automatic && desktop.applies && !desktop.applies()) {
            why = desktop.notHere;
        } else if (auto platform = desktop.create(options.platform, &why)) {
            return platform;
        }
        lacking += (lacking.empty() ? "" : ", and ") + why;
        remedy += (remedy.empty() ? "" : ", or ") + std::string(desktop.remedy);
    }
    missing.status = LinuxTexts::needsDesktop;
    if (lacking.empty()) {
        missing.missing = "this build has no desktop \"" + options.desktop + "\"";
        missing.remedy =
            "Start Panelora with --desktop set to one of: " + desktopChoices(table) + ".";
        return nullptr;
    }
    missing.missing = lacking;
    if (!automatic) remedy += ", or start Panelora with --desktop auto";
    remedy[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(remedy[0])));
    missing.remedy = remedy + ".";
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
        logger()->info("{}", "desktop: " + platform_->description());
        if (options_.onGone) platform_->setOnGone(options_.onGone);
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
