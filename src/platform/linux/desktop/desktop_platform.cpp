#include "platform/linux/desktop/desktop_platform.h"

#include "display/display_geometry.h"

namespace panelora {

SessionEnvironment DesktopPlatform::sessionEnvironment() {
    const DesktopSeams s = seams();
    SessionEnvironment environment =
        SessionEnvironment::standard(*s.virtualDisplays, *s.capture, *s.codecs);
    if (s.framesAlwaysShowPointer) environment.makeCursorTracker = nullptr;
    if (s.activity) environment.activity = s.activity;
    return environment;
}

SeamInstallation::SeamInstallation(InputBackends input) : input_(std::move(input)) {
    installDisplayGeometry(input_.geometry);
    installInjectionBackends(input_);
}

SeamInstallation::~SeamInstallation() {
    if (installedDisplayGeometry() == input_.geometry) installDisplayGeometry(nullptr);
    if (installedInjectionBackends().poster == input_.poster) installInjectionBackends({});
}

}  // namespace panelora
