#include "shell_runtime.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>

#include "platform/linux/bundle/linux_platform.h"
#include "platform/linux/shell/freed_memory.h"
#include "platform/linux/shell/single_instance.h"
#include "platform/linux/shell/status_printer.h"
#include "platform/linux/shell/stop_signals.h"
#include "session/session.h"
#include "support/log.h"

namespace panelora {
namespace {

// How long quitting waits for the session to end and any attempt to finish.
constexpr Duration settleTimeout = std::chrono::seconds(5);
constexpr Duration settlePoll = std::chrono::milliseconds(20);
// How long an ended session's last objects may take to go before its memory is given back.
constexpr Duration trimTimeout = std::chrono::seconds(10);
constexpr Duration trimPoll = std::chrono::milliseconds(100);

// The platform, made when first needed: the X server may come up after the program does.
class PlatformSlot {
  public:
    explicit PlatformSlot(std::string display) : display_(std::move(display)) {}

    LinuxPlatform* get() {
        if (!platform_) {
            std::string error;
            platform_ = LinuxPlatform::create(display_, &error);
            if (!platform_ && error != lastError_) {
                lastError_ = error;
                log::get("app")->error("{}", "the X11 backends are not available: " + error);
            }
        }
        return platform_.get();
    }

    void reset() { platform_.reset(); }

  private:
    const std::string display_;
    std::unique_ptr<LinuxPlatform> platform_;
    std::string lastError_;
};

StatusPrinter::State printerState(const Controller& controller) {
    return StatusPrinter::State{controller.status(), controller.statsLine(),
                                controller.screenRecordingAllowed(),
                                controller.accessibilityAllowed()};
}

}  // namespace

bool displayReachable() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

struct ShellRuntime::State : std::enable_shared_from_this<ShellRuntime::State> {
    std::shared_ptr<SerialQueue> main;
    std::function<void()> stopLoop;
    std::unique_ptr<SingleInstance> instance;
    std::shared_ptr<PlatformSlot> platform;
    std::shared_ptr<LinuxPermissions> permissions;
    std::shared_ptr<Controller> controller;
    std::unique_ptr<StopSignalWatcher> signals;
    std::unique_ptr<StatusPrinter> printer;
    Controller::ObserverToken printerToken = 0;
    Controller::ObserverToken memoryToken = 0;
    bool trimScheduled = false;
    int64_t trimDeadline = 0;
    bool quitting = false;
    bool settled = false;
    bool finished = false;
    int exitStatus = 0;
    int64_t settleDeadline = 0;

    // Posted from other threads: holds the state weakly.
    std::function<void()> quitFromAnyThread() {
        std::weak_ptr<State> weak = weak_from_this();
        auto queue = main;
        return [weak, queue] {
            queue->post([weak] {
                if (auto self = weak.lock()) self->quit();
            });
        };
    }

    void quit() {
        if (quitting) return;
        quitting = true;
        controller->shutdown();
        settleDeadline = Clock::system().uptimeNanos() + settleTimeout.count();
        settle();
    }

    // Told of every change: without a session, give an ended one's memory back once its last
    // objects (finishing on their own threads) are gone.
    void sessionMayHaveEnded() {
        if (controller->hasSession() || trimScheduled) return;
        trimScheduled = true;
        trimDeadline = Clock::system().uptimeNanos() + trimTimeout.count();
        trimWhenNoSessionIsLeft();
    }

    void trimWhenNoSessionIsLeft() {
        if (Session::liveSessions() == 0 || Clock::system().uptimeNanos() >= trimDeadline) {
            trimScheduled = false;
            if (Session::liveSessions() == 0) returnFreedMemory();
            return;
        }
        std::weak_ptr<State> weak = weak_from_this();
        main->postAfter(trimPoll, [weak] {
            if (auto self = weak.lock()) self->trimWhenNoSessionIsLeft();
        });
    }

    void settle() {
        // Session::liveSessions(): a session that ended on its own thread may still be in the
        // last steps of stop() (its virtual display goes last) after the Controller let go.
        if (!controller->hasSession() && !controller->attemptInProgress() &&
            Session::liveSessions() == 0) {
            settled = true;
            return stopLoop();
        }
        if (Clock::system().uptimeNanos() >= settleDeadline) return stopLoop();
        std::weak_ptr<State> weak = weak_from_this();
        main->postAfter(settlePoll, [weak] {
            if (auto self = weak.lock()) self->settle();
        });
    }
};

std::unique_ptr<ShellRuntime> ShellRuntime::create(const std::string& display,
                                                   std::shared_ptr<SerialQueue> mainQueue,
                                                   std::function<void()> stopLoop) {
    auto state = std::make_shared<State>();
    state->main = std::move(mainQueue);
    state->stopLoop = std::move(stopLoop);

    auto acquired = SingleInstance::acquire(SingleInstance::defaultName());
    if (!acquired.instance) {
        std::fprintf(stderr, "panelora: could not take over from a running copy (%s); going on\n",
                     acquired.error.c_str());
    }
    state->instance = std::move(acquired.instance);

    state->platform = std::make_shared<PlatformSlot>(display);
    state->platform->get();
    state->permissions = std::make_shared<LinuxPermissions>(
        LinuxPermissions::Options{display, {}, {}, currentDesktops()});

    auto platform = state->platform;
    SessionFactory sessions =
        sessionFactory([platform] { return platform->get()->sessionEnvironment(); });
    auto permissions = state->permissions;
    auto main = state->main;
    Controller::configureShared([platform, sessions, permissions, main] {
        AppEnvironment environment;
        environment.permissions = permissions;
        environment.makeSession = [platform,
                                   sessions](int fd) -> std::shared_ptr<SupervisedSession> {
            if (!platform->get()) {
                close(fd);
                return nullptr;
            }
            return sessions(fd);
        };
        environment.mainQueue = main;
        return environment;
    });
    state->controller = Controller::shared();

    std::weak_ptr<State> weakState = state;
    state->memoryToken = state->controller->addObserver([weakState] {
        if (auto self = weakState.lock()) self->sessionMayHaveEnded();
    });

    auto quit = state->quitFromAnyThread();
    if (state->instance) state->instance->listen(quit);
    state->signals = StopSignalWatcher::start([quit](int) { quit(); });
    return std::unique_ptr<ShellRuntime>(new ShellRuntime(std::move(state)));
}

ShellRuntime::ShellRuntime(std::shared_ptr<State> state) : state_(std::move(state)) {}

ShellRuntime::~ShellRuntime() {
    finish();
}

const std::shared_ptr<Controller>& ShellRuntime::controller() const {
    return state_->controller;
}

const std::shared_ptr<LinuxPermissions>& ShellRuntime::permissions() const {
    return state_->permissions;
}

void ShellRuntime::printStatusLines() {
    if (state_->printer) return;
    state_->printer = std::make_unique<StatusPrinter>(stdout);
    state_->printer->update(printerState(*state_->controller));
    std::weak_ptr<State> weak = state_;
    state_->printerToken = state_->controller->addObserver([weak] {
        auto self = weak.lock();
        if (self && self->printer) self->printer->update(printerState(*self->controller));
    });
}

void ShellRuntime::quit() {
    state_->quit();
}

int ShellRuntime::finish() {
    State& s = *state_;
    if (s.finished) return s.exitStatus;
    s.finished = true;
    s.signals.reset();
    if (!s.quitting) s.controller->shutdown();
    s.controller->removeObserver(s.memoryToken);
    if (s.printerToken) {
        s.controller->removeObserver(s.printerToken);
        s.printerToken = 0;
    }
    std::fflush(stdout);
    int status = 0;
    if (s.controller->hasSession() || s.controller->attemptInProgress() ||
        Session::liveSessions() != 0) {
        std::fprintf(stderr, "panelora: the session did not end in time\n");
        status = 1;
    } else if (s.platform) {
        // Nothing uses the backends any more: the Controller is shut down and has no session.
        s.platform->reset();
    }
    // Last: closing the single-instance socket tells a waiting newer copy that this one is done.
    s.instance.reset();
    s.exitStatus = status;
    return status;
}

}  // namespace panelora
