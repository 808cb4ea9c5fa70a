#include "platform/macos/bundle/mac_platform.h"

#include "input/pointer_injector.h"
#include "platform/macos/shell/mac_process_activity.h"

namespace panelora {

std::unique_ptr<MacPlatform> MacPlatform::create() {
    std::unique_ptr<MacPlatform> platform(new MacPlatform());
    installDisplayGeometry(platform->geometry_);
    installInjectionBackends(
        InputBackends{platform->poster_, platform->geometry_, platform->cursor_});
    return platform;
}

MacPlatform::MacPlatform()
    : poster_(std::make_shared<CGEventPoster>()),
      geometry_(std::make_shared<CGDisplayGeometry>()),
      cursor_(std::make_shared<NSCursorSource>()) {}

MacPlatform::~MacPlatform() {
    // Only what is still ours, so that a newer platform's backends stay in place.
    if (installedDisplayGeometry() == geometry_) installDisplayGeometry(nullptr);
    if (installedInjectionBackends().poster == poster_) installInjectionBackends({});
}

SessionEnvironment MacPlatform::sessionEnvironment() {
    SessionEnvironment environment =
        SessionEnvironment::standard(virtualDisplays_, capture_, codecs_);
    environment.activity = std::make_shared<MacProcessActivity>();
    return environment;
}

}  // namespace panelora
