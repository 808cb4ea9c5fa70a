#include "platform/linux/shell/linux_permissions.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "platform/linux/shell/detached_spawn.h"
#include "platform/linux/xlib/x11_connection.h"

namespace panelora {
namespace {

struct Candidate {
    const char* desktop;  // as $XDG_CURRENT_DESKTOP names it
    std::vector<std::string> argv;
};

const std::vector<Candidate>& displayCandidates() {
    static const std::vector<Candidate> list{
        {"GNOME", {"gnome-control-center", "display"}},
        {"KDE", {"systemsettings", "kcm_kscreen"}},
        {"XFCE", {"xfce4-display-settings"}},
        {"X-Cinnamon", {"cinnamon-settings", "display"}},
        {"MATE", {"mate-display-properties"}},
        {"LXQt", {"lxqt-config-monitor"}},
        {"", {"arandr"}},
    };
    return list;
}

const std::vector<Candidate>& generalCandidates() {
    static const std::vector<Candidate> list{
        {"GNOME", {"gnome-control-center"}},  {"KDE", {"systemsettings"}},
        {"XFCE", {"xfce4-settings-manager"}}, {"X-Cinnamon", {"cinnamon-settings"}},
        {"MATE", {"mate-control-center"}},    {"LXQt", {"lxqt-config"}},
    };
    return list;
}

DesktopProblem noXServer(const std::string& display) {
    return {LinuxTexts::needsDesktop, "no X server answers at " + display,
            "Run Panelora in your desktop session, where $DISPLAY names its X server."};
}

bool sameDesktop(const std::string& a, const char* b) {
    return *b != '\0' && strcasecmp(a.c_str(), b) == 0;
}

}  // namespace

std::vector<std::string> currentDesktops() {
    std::vector<std::string> desktops;
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    if (!value) return desktops;
    std::string_view rest(value);
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string_view name = rest.substr(0, colon);
        if (!name.empty()) desktops.emplace_back(name);
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return desktops;
}

std::optional<std::vector<std::string>> settingsCommand(
    std::string_view address, const std::vector<std::string>& desktops,
    const std::function<std::optional<std::string>(std::string_view)>& find) {
    const std::string displays =
        Permissions::settingsAddress(Permissions::displaysPane, std::nullopt);
    const std::string screenCapture =
        Permissions::settingsAddress(Permissions::securityPane, Permissions::screenCaptureAnchor);
    const std::string accessibility =
        Permissions::settingsAddress(Permissions::securityPane, Permissions::accessibilityAnchor);

    const std::vector<Candidate>* candidates = nullptr;
    if (address == displays) {
        candidates = &displayCandidates();
    } else if (address == screenCapture || address == accessibility) {
        candidates = &generalCandidates();
    } else {
        return std::nullopt;
    }

    // The running desktop's own programs first, in the order the desktops are named.
    std::vector<const Candidate*> ordered;
    for (const std::string& desktop : desktops) {
        for (const Candidate& c : *candidates) {
            if (sameDesktop(desktop, c.desktop) &&
                std::find(ordered.begin(), ordered.end(), &c) == ordered.end()) {
                ordered.push_back(&c);
            }
        }
    }
    for (const Candidate& c : *candidates) {
        if (std::find(ordered.begin(), ordered.end(), &c) == ordered.end()) ordered.push_back(&c);
    }
    for (const Candidate* c : ordered) {
        if (auto path = find(c->argv.front())) {
            std::vector<std::string> argv = c->argv;
            argv.front() = *path;
            return argv;
        }
    }
    return std::nullopt;
}

LinuxPermissions::LinuxPermissions(Options options) : options_(std::move(options)) {
    if (!options_.find) {
        options_.find = [](std::string_view program) { return findOnPath(program); };
    }
    if (!options_.spawn) options_.spawn = spawnDetached;
}

LinuxPermissions::~LinuxPermissions() = default;

X11Connection* LinuxPermissions::connection() {
    // A broken connection (server restarted or gone) is replaced on the next probe.
    if (connection_ && connection_->broken()) connection_.reset();
    if (!connection_) connection_ = X11Connection::open(options_.displayName);
    return connection_.get();
}

std::string LinuxPermissions::displayText() const {
    if (!options_.displayName.empty()) return options_.displayName;
    const char* display = std::getenv("DISPLAY");
    return display && *display ? display : "$DISPLAY";
}

bool LinuxPermissions::screenRecordingPreflight() {
    X11Connection* x = connection();
    if (!x) {
        captureProblem_ = noXServer(displayText());
        return false;
    }
    XImage* image = XGetImage(x->display(), x->root(), 0, 0, 1, 1, AllPlanes, ZPixmap);
    bool readable = image != nullptr;
    if (image) XDestroyImage(image);
    // sync() also consumes an error the request may have caused, so it cannot be blamed on
    // the next one.
    readable = x->sync() && readable;
    captureProblem_ = readable ? DesktopProblem{}
                               : DesktopProblem{"Panelora cannot read the X11 screen",
                                                "the X server at " + displayText() +
                                                    " does not let Panelora read its screen",
                                                "Allow this user on the X server (its "
                                                "XAUTHORITY cookie, or xhost)."};
    return readable;
}

bool LinuxPermissions::accessibilityTrusted(bool) {
    X11Connection* x = connection();
    if (!x) {
        inputProblem_ = noXServer(displayText());
        return false;
    }
    int opcode = 0, event = 0, error = 0;
    bool present = XQueryExtension(x->display(), "XTEST", &opcode, &event, &error) == True;
    present = !x->broken() && present;
    inputProblem_ = present ? DesktopProblem{}
                            : DesktopProblem{"", "the X server has no XTEST extension",
                                             "Start the X server with XTEST (it is on unless "
                                             "turned off with -extension XTEST)."};
    return present;
}

PermissionTexts LinuxPermissions::texts() {
    return linuxPermissionTexts(captureProblem_, inputProblem_);
}

PermissionTexts linuxPermissionTexts(const DesktopProblem& capture, const DesktopProblem& input) {
    PermissionTexts texts;
    texts.blockedStatus = capture.status.empty() ? LinuxTexts::needsDesktop : capture.status;
    texts.screenRecording = {"Nothing can stream: " + capture.missing, LinuxTexts::settingsButton,
                             capture.remedy};
    texts.accessibility = {"Touch, keyboard and trackpad are off: " + input.missing,
                           LinuxTexts::settingsButton, input.remedy};
    return texts;
}

void LinuxPermissions::openURL(const std::string& url) {
    auto argv = settingsCommand(url, options_.desktops, options_.find);
    if (argv) options_.spawn(*argv);
}

}  // namespace panelora
