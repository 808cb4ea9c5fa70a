#include "gnome_session.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include <nlohmann/json.hpp>

#include "eventually.h"
#include "platform/linux/dbus/session_bus.h"

namespace panelora::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// True when every name is owned on the bus at `address`.
bool namesOwned(const std::string& address, const std::vector<const char*>& names) {
    auto bus = SessionBus::connect(address, nullptr);
    return bus && std::ranges::all_of(names, [&](const char* name) { return bus->hasOwner(name); });
}

// Waits for `ready` while `process` runs; false on timeout or when it exited.
template <class Ready>
bool waitUntil(ChildProcess& process, SteadyClock::time_point deadline, Ready ready) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return eventually([&] { return ready() || !process.running(); }, left) && ready();
}

void stop(std::unique_ptr<ChildProcess>& process) {
    if (!process) return;
    process->signal(SIGTERM);
    process->wait(5s);
    process.reset();  // kills and reaps it if it still runs
}

}  // namespace

std::unique_ptr<GnomeSession> GnomeSession::start(std::string* skipReason) {
    auto fail = [&](std::string why) -> std::unique_ptr<GnomeSession> {
        if (skipReason) *skipReason = std::move(why);
        return nullptr;
    };
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "mutter"}) {
        if (access(("/usr/bin/" + std::string(program)).c_str(), X_OK) != 0) {
            return fail(
                "a headless GNOME needs dbus-daemon, pipewire, wireplumber and mutter "
                "(scripts/install-deps.sh installs them)");
        }
    }

    std::unique_ptr<GnomeSession> session(new GnomeSession);
    const std::string dir = session->dir_.path().string();
    session->runtimeDir_ = dir + "/runtime";
    std::error_code ec;
    for (const char* sub : {"runtime", "config", "data", "cache"})
        fs::create_directory(dir + "/" + sub, ec);
    chmod(session->runtimeDir_.c_str(), 0700);
    const auto deadline = SteadyClock::now() + 20s;

    // The bus: in the foreground, so that it is our child and stops by its id.
    session->busAddress_ = "unix:path=" + session->runtimeDir_ + "/bus";
    std::string error;
    session->bus_ = ChildProcess::start({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                         "--address=" + session->busAddress_, "--print-address=1"},
                                        {}, &error);
    if (!session->bus_) return fail("dbus-daemon: " + error);
    if (!session->bus_->waitForLine("unix:", 10s)) return fail("dbus-daemon did not start");

    ChildProcess::Options common;
    common.mergeStderr = true;
    common.environment = session->environment();
    // Nothing of the test's own desktop: mutter would take it for a host to nest in.
    common.environment.insert(
        common.environment.end(),
        {"DISPLAY=", "WAYLAND_DISPLAY=", "GSETTINGS_BACKEND=memory",
         "XDG_CONFIG_HOME=" + dir + "/config", "XDG_DATA_HOME=" + dir + "/data",
         "XDG_CACHE_HOME=" + dir + "/cache"});

    session->pipewire_ = ChildProcess::start(
        {"pipewire"}, ChildProcess::Options(common).stdoutTo(dir + "/pipewire.log"), &error);
    if (!session->pipewire_) return fail("pipewire: " + error);
    const std::string pipewireSocket = session->pipewireSocket();
    if (!waitUntil(*session->pipewire_, deadline, [&] { return fs::exists(pipewireSocket, ec); })) {
        return fail("pipewire did not start: " + readFile(dir + "/pipewire.log"));
    }

    session->wireplumber_ = ChildProcess::start(
        {"wireplumber"}, ChildProcess::Options(common).stdoutTo(dir + "/wireplumber.log"), &error);
    if (!session->wireplumber_) return fail("wireplumber: " + error);

    session->mutter_ = ChildProcess::start(
        {"mutter", "--headless", "--wayland", "--no-x11", "--virtual-monitor", "1440x900"},
        ChildProcess::Options(common).stdoutTo(dir + "/mutter.log"), &error);
    if (!session->mutter_) return fail("mutter: " + error);
    const std::string wayland = session->waylandSocket();
    const std::string address = session->busAddress_;
    if (!waitUntil(*session->mutter_, deadline, [&] {
            return fs::exists(wayland, ec) &&
                   namesOwned(address,
                              {"org.gnome.Mutter.ScreenCast", "org.gnome.Mutter.RemoteDesktop",
                               "org.gnome.Mutter.DisplayConfig"});
        })) {
        return fail("mutter did not come up: " + readFile(dir + "/mutter.log"));
    }
    if (!session->wireplumber_->running())
        return fail("wireplumber ended: " + readFile(dir + "/wireplumber.log"));
    return session;
}

std::vector<std::string> GnomeSession::environment() const {
    return {"XDG_RUNTIME_DIR=" + runtimeDir_, "DBUS_SESSION_BUS_ADDRESS=" + busAddress_,
            "PIPEWIRE_RUNTIME_DIR=" + runtimeDir_, "WAYLAND_DISPLAY=wayland-0",
            "XDG_SESSION_TYPE=wayland"};
}

namespace {

// A PipeWire tool's output on this session's daemon, or nothing when it failed.
std::optional<std::string> pipewireTool(const GnomeSession& session,
                                        std::vector<std::string> argv) {
    argv.insert(argv.begin() + 1, {"-r", session.pipewireSocket()});
    ChildProcess::Options options;
    options.environment = session.environment();
    auto tool = ChildProcess::start(argv, options);
    if (!tool || tool->wait(10s) != 0) return std::nullopt;
    return tool->output();
}

}  // namespace

std::vector<uint32_t> GnomeSession::screenCastNodes() const {
    std::vector<uint32_t> nodes;
    const auto dump = pipewireTool(*this, {"pw-dump"});
    const auto objects = nlohmann::json::parse(dump.value_or(""), nullptr, false);
    if (!objects.is_array()) return nodes;
    for (const auto& object : objects) {
        const auto props =
            object.value("info", nlohmann::json::object()).value("props", nlohmann::json::object());
        if (object.value("type", "") == "PipeWire:Interface:Node" &&
            props.value("media.class", "") == "Stream/Output/Video" &&
            props.value("node.name", "") == "mutter") {
            nodes.push_back(object.value("id", 0u));
        }
    }
    return nodes;
}

bool GnomeSession::destroyNode(uint32_t id, std::string* why) const {
    if (pipewireTool(*this, {"pw-cli", "destroy", std::to_string(id)})) return true;
    if (why) *why = "pw-cli could not destroy node " + std::to_string(id);
    return false;
}

GnomeSession::~GnomeSession() {
    for (auto* process : {&mutter_, &wireplumber_, &pipewire_, &bus_})
        stop(*process);
}

namespace {
struct Shared {
    std::unique_ptr<GnomeSession> session;
    std::string skipReason;
    Shared() { session = GnomeSession::start(&skipReason); }
};
Shared& sharedState() {
    static Shared state;  // destroyed at exit, which stops the session
    return state;
}
}  // namespace

GnomeSession* GnomeSession::shared() {
    return sharedState().session.get();
}
const std::string& GnomeSession::sharedSkipReason() {
    return sharedState().skipReason;
}

}  // namespace panelora::test
