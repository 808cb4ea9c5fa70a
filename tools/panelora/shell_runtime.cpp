#include "shell_runtime.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>

#include "input/key_injector.h"
#include "platform/linux/desktop/linux_desktop.h"
#include "platform/linux/shell/freed_memory.h"
#include "platform/linux/shell/idle_inhibitor.h"
#include "platform/linux/shell/single_instance.h"
#include "platform/linux/shell/status_printer.h"
#include "platform/linux/shell/stop_signals.h"
#include "session/session.h"
#include "support/log.h"

namespace panelora {
namespace {

// How long quitting waits for the session to end and any attempt to finish: beyond the release
// of a display, which on GNOME may wait up to 5 s for mutter's Stop and 5 s for the monitor to go.
constexpr Duration settleTimeout = std::chrono::seconds(12);
constexpr Duration settlePoll = std::chrono::milliseconds(20);
// An ended session's last objects go within moments (they finish on their own threads).
constexpr Duration trimDelay = std::chrono::seconds(2);

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
    std::shared_ptr<LinuxDesktop> desktop;
    std::shared_ptr<Controller> controller;
    std::unique_ptr<StopSignalWatcher> signals;
    std::unique_ptr<StatusPrinter> printer;
    Controller::ObserverToken printerToken = 0;
    Controller::ObserverToken memoryToken = 0;
    bool trimScheduled = false;
    bool quitting = false;
    bool settled = false;
    bool finished = false;
    int exitStatus = 0;
    bool serverWentAway = false;
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

    // The desktop went away (the X server, or GNOME's session): the session has ended with it,
    // and so does the program.
    void desktopGone(const std::string& what) {
        if (quitting) return;
        std::fprintf(stderr, "panelora: %s went away; Panelora stops\n", what.c_str());
        serverWentAway = true;
        quit();
    }

    void quit() {
        if (quitting) return;
        quitting = true;
        controller->shutdown();
        settleDeadline = Clock::system().uptimeNanos() + settleTimeout.count();
        settle();
    }

    // Told of every change: without a session, an ended one's memory is given back once its
    // last objects are gone.
    void sessionMayHaveEnded() {
        if (controller->hasSession() || trimScheduled) return;
        trimScheduled = true;
        std::weak_ptr<State> weak = weak_from_this();
        main->postAfter(trimDelay, [weak] {
            auto self = weak.lock();
            if (!self) return;
            self->trimScheduled = false;
            if (Session::liveSessions() == 0) returnFreedMemory();
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
                                                   const std::string& desktopName,
                                                   std::shared_ptr<SerialQueue> mainQueue,
                                                   std::function<void()> stopLoop) {
    auto state = std::make_shared<State>();
    state->main = std::move(mainQueue);
    state->stopLoop = std::move(stopLoop);

    auto acquired = SingleInstance::acquire(SingleInstance::defaultPath());
    if (!acquired.instance) {
        std::fprintf(stderr, "panelora: could not take over from a running copy (%s); going on\n",
                     acquired.error.c_str());
    }
    state->instance = std::move(acquired.instance);

    std::weak_ptr<State> weakState = state;
    auto main = state->main;
    // The desktop (and so the platform) is chosen when first needed: the X server or the GNOME
    // session may come up after the program does.
    LinuxDesktop::Options options;
    options.desktop = desktopName;
    options.platform.x11.display = display;
    options.desktops = currentDesktops();
    options.onGone = [weakState, main](std::string what) {
        main->post([weakState, what] {
            if (auto self = weakState.lock()) self->desktopGone(what);
        });
    };
    state->desktop = std::make_shared<LinuxDesktop>(std::move(options));
    state->desktop->platform();

    auto desktop = state->desktop;
    auto inhibitor = std::make_shared<IdleInhibitor>(display);
    SessionFactory sessions = sessionFactory([desktop, inhibitor] {
        SessionEnvironment environment = desktop->platform()->sessionEnvironment();
        if (!desktop->platform()->seams().activity) environment.activity = inhibitor;
        return environment;
    });
    Controller::configureShared([desktop, sessions, main] {
        AppEnvironment environment;
        environment.permissions = desktop;
        environment.makeSession = [desktop,
                                   sessions](int fd) -> std::shared_ptr<SupervisedSession> {
            if (!desktop->platform()) {
                close(fd);
                return nullptr;
            }
            return sessions(fd);
        };
        environment.mainQueue = main;
        // Linux shortcuts are Ctrl+letter where the Mac's are Command+letter.
        environment.applyCommandActsAsControl = [](bool on) {
            KeyInjectorCore::shared()->setCommandActsAsControl(on);
        };
        return environment;
    });
    state->controller = Controller::shared();

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

std::shared_ptr<PermissionsBackend> ShellRuntime::permissions() const {
    return state_->desktop;
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
    int status = s.serverWentAway ? 1 : 0;
    if (s.controller->hasSession() || s.controller->attemptInProgress() ||
        Session::liveSessions() != 0) {
        std::fprintf(stderr, "panelora: the session did not end in time\n");
        status = 1;
    } else if (s.desktop) {
        // Nothing uses the backends any more: the Controller is shut down and has no session.
        s.desktop->reset();
    }
    // Last: closing the single-instance socket tells a waiting newer copy that this one is done.
    s.instance.reset();
    s.exitStatus = status;
    return status;
}

}  // namespace panelora
