#include "platform/linux/x11/x11_platform.h"

#include <cstdlib>

#include "platform/linux/x11/desktop_scale.h"
#include "platform/linux/xlib/x11_connection.h"

namespace panelora {

std::unique_ptr<X11Platform> X11Platform::create(std::string displayName, std::string* why) {
    Options options;
    options.displayName = std::move(displayName);
    return create(options, why);
}

std::unique_ptr<X11Platform> X11Platform::create(const Options& options, std::string* why) {
    // One connection up front gives a plain answer when the server is not there, before any
    // backend opens connections of its own.
    auto connection = X11Connection::open(options.displayName, why);
    if (!connection) return nullptr;
    // One scale for every backend: the display's pixel size, input and cursor must agree.
    const int scale = options.scale > 0 ? options.scale : desktopScaleFactor(connection->display());
    auto input = createX11InputBackends(
        X11InputOptions{.displayName = options.displayName, .scale = scale}, why);
    if (!input) return nullptr;
    std::unique_ptr<X11Platform> platform(new X11Platform(options, scale, std::move(*input)));
    platform->installed_.emplace(platform->input_.forInjection());
    return platform;
}

X11Platform::X11Platform(const Options& options, int scale, X11InputBackends input)
    : displayName_(options.displayName),
      virtualDisplays_(options.displayName, scale, options.route),
      capture_(options.displayName),
      codecs_(options.encoders),
      input_(std::move(input)),
      probes_(LinuxPermissions::Options{options.displayName, {}, {}, {}}) {}

X11Platform::~X11Platform() = default;

std::string x11DisplayText(const std::string& displayName) {
    if (!displayName.empty()) return displayName;
    const char* display = std::getenv("DISPLAY");
    return display && *display ? display : "$DISPLAY";
}

std::string X11Platform::description() const {
    return "X11 at " + x11DisplayText(displayName_);
}

void X11Platform::setOnGone(std::function<void(std::string what)> handler) {
    input_.geometry->setOnServerGone(
        [handler = std::move(handler),
         what = "the X server (display " + x11DisplayText(displayName_) + ")"] { handler(what); });
}

DesktopSeams X11Platform::seams() {
    return DesktopSeams{&virtualDisplays_, &capture_, &codecs_, input_.forInjection()};
}

bool X11Platform::captureAllowed(DesktopProblem& problem) {
    bool allowed = probes_.screenRecordingPreflight();
    problem = probes_.captureProblem();
    return allowed;
}

bool X11Platform::inputAllowed(DesktopProblem& problem) {
    bool allowed = probes_.accessibilityTrusted(false);
    problem = probes_.inputProblem();
    return allowed;
}

}  // namespace panelora
