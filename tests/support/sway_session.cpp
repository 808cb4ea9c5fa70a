#include "sway_session.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "eventually.h"
#include "platform/linux/sway/sway_ipc.h"

namespace panelora::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// sway's Wayland socket in its runtime directory, once it is there.
bool findWayland(const std::string& runtime, std::string& wayland) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(runtime, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("wayland-") && !name.ends_with(".lock")) wayland = entry.path();
    }
    return !wayland.empty();
}

}  // namespace

std::unique_ptr<SwaySession> SwaySession::start(std::string* skipReason) {
    auto fail = [&](std::string why) -> std::unique_ptr<SwaySession> {
        if (skipReason) *skipReason = std::move(why);
        return nullptr;
    };
    if (access("/usr/bin/sway", X_OK) != 0) {
        return fail("a headless sway needs sway (scripts/install-deps.sh installs it)");
    }
    std::unique_ptr<SwaySession> session(new SwaySession);
    const std::string dir = session->dir_.path().string();
    const bool root = geteuid() == 0;
    session->runtimeDir_ = dir + "/runtime";
    std::error_code ec;
    fs::create_directory(session->runtimeDir_, ec);
    chmod(session->runtimeDir_.c_str(), 0700);
    if (root) {
        // sway runs as nobody: it must reach its files, and own its runtime directory.
        chmod(dir.c_str(), 0755);
        if (chown(session->runtimeDir_.c_str(), kNobody, kNobody) != 0)
            return fail("cannot give the runtime directory to nobody");
    }
    writeFile(dir + "/config",
              "xwayland disable\n"
              "output HEADLESS-1 mode 1440x900 position 0 0\n"
              "default_border none\n"
              "default_floating_border none\n");
    chmod((dir + "/config").c_str(), 0644);

    std::vector<std::string> argv{"/usr/bin/sway", "-c", dir + "/config"};
    if (root) {
        // setpriv clears the parent-death signal with the uid; it sets it again.
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                   "--pdeathsig=KILL"});
    }
    ChildProcess::Options options;
    options.mergeStderr = true;
    options.stdoutFile = dir + "/sway.log";
    options.environment = {"XDG_RUNTIME_DIR=" + session->runtimeDir_, "WLR_BACKENDS=headless",
                           "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                           "WAYLAND_DISPLAY=", "DISPLAY=",
                           // sway makes its IPC socket where this says (an empty one fails).
                           "SWAYSOCK=" + session->runtimeDir_ + "/sway-ipc.sock", "HOME=" + dir};
    std::string error;
    session->sway_ = ChildProcess::start(argv, options, &error);
    if (!session->sway_) return fail("sway: " + error);
    const std::string ipc = session->runtimeDir_ + "/sway-ipc.sock";
    std::string wayland;
    const bool up = eventually(
        [&] {
            return !session->sway_->running() || (findWayland(session->runtimeDir_, wayland) &&
                                                  SwayIpc::connect(ipc, nullptr) != nullptr);
        },
        20s);
    if (!up || !session->sway_->running())
        return fail("sway did not come up: " + readFile(options.stdoutFile));
    session->ipcSocket_ = ipc;
    session->waylandSocket_ = wayland;
    return session;
}

std::vector<std::string> SwaySession::environment() const {
    return {"XDG_RUNTIME_DIR=" + runtimeDir_, "SWAYSOCK=" + ipcSocket_,
            "WAYLAND_DISPLAY=" + waylandSocket_, "XDG_SESSION_TYPE=wayland"};
}

SwaySession::~SwaySession() {
    if (!sway_) return;
    sway_->signal(SIGTERM);
    sway_->wait(5s);  // then the member's destructor kills and reaps it if it still runs
}

namespace {
struct Shared {
    std::unique_ptr<SwaySession> session;
    std::string skipReason;
    Shared() { session = SwaySession::start(&skipReason); }
};
Shared& sharedState() {
    static Shared state;  // destroyed at exit, which stops sway
    return state;
}
}  // namespace

SwaySession* SwaySession::shared() {
    return sharedState().session.get();
}
const std::string& SwaySession::sharedSkipReason() {
    return sharedState().skipReason;
}

}  // namespace panelora::test
