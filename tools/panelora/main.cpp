// panelora: the program a user runs. A tray icon with the menu by default; with --headless no
// user interface at all, the status and statistics lines printed on standard output instead.
//
// Start-up, in order: stop signals blocked (before any thread exists), the main queue installed
// (the Qt event loop's in tray mode, a RunLoopQueue on this thread in headless mode), a running
// copy asked to quit and the single-instance name taken, the desktop's platform chosen (GNOME on
// Wayland, else X11 with a spare output, or the one --desktop names), the Controller configured,
// created and started, then the main loop.
//
// Quitting (menu, SIGINT/SIGTERM, a newer copy's request) goes through one path on the main
// queue: the Controller is shut down, which ends the session and so removes the virtual display;
// the loop ends once no session is left and no attempt is running (at most a few seconds).

#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/menu_model.h"
#include "platform/linux/curl/curl_http_fetcher.h"
#include "platform/linux/desktop/desktops.h"
#include "platform/linux/shell/freed_memory.h"
#include "platform/linux/shell/linux_permissions.h"
#include "platform/linux/shell/stop_signals.h"
#include "platform/linux/shell/xdg_autostart.h"
#include "protocol/stream_profile.h"
#include "qt_alert_presenter.h"
#include "qt_main_queue.h"
#include "session/session_stats.h"
#include "shell_runtime.h"
#include "support/main_queue.h"
#include "tray_menu.h"
#include "update/update_checker.h"

namespace panelora {
namespace {

// The help, around the desktops this build has.
constexpr const char* usageHead =
    "usage: panelora [--headless] [--display NAME] [--desktop NAME]\n"
    "Turns a tablet connected by USB into a second display.\n"
    "  --headless               no tray icon: print each change of the status and statistics\n"
    "                           lines on standard output, one line each:\n"
    "                             status: <status line>\n"
    "                             stats: <statistics line>   (\"stats:\" alone when cleared)\n"
    "                             permission: screen-recording|accessibility on|off\n"
    "                           SIGINT or SIGTERM end the session and exit 0.\n"
    "  --display NAME           the X display to use (default $DISPLAY)\n"
    "  --desktop NAME           the desktop to stream from, one of: ";
constexpr const char* usageTail =
    "\n"
    "                           (default auto: the first of them that works here)\n"
    "  --screenshot-menu FILE   render the tray menu with a sample streaming state, save it as\n"
    "                           PNG and exit (for looking at the menu without a tray)\n"
    "  --version                print the version and exit\n"
    "The USB multiplexing daemon is reached at $USBMUXD_SOCKET_ADDRESS when set (\"UNIX:/path\"\n"
    "or \"HOST:PORT\"), else at /var/run/usbmuxd.\n";

std::string usage() {
    return usageHead + desktopChoices() + usageTail;
}

// How long the tray may take to appear after a login before the program goes headless.
constexpr int trayWaitMs = 5000;

struct Options {
    bool headless = false;
    std::string display;
    std::string desktop = std::string(automaticDesktop);
    std::string screenshotMenu;
};

std::optional<Options> parseOptions(int argc, char** argv, int& exitCode) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--display") {
            const char* v = value();
            if (!v || !*v) {
                std::fprintf(stderr, "panelora: --display needs a name\n%s", usage().c_str());
                exitCode = 2;
                return std::nullopt;
            }
            options.display = v;
        } else if (arg == "--desktop") {
            const char* v = value();
            if (!v || !*v) {
                std::fprintf(stderr, "panelora: --desktop needs a name\n%s", usage().c_str());
                exitCode = 2;
                return std::nullopt;
            }
            if (v != automaticDesktop && !findDesktop(v)) {
                std::fprintf(stderr, "panelora: this build has no desktop %s (it has: %s)\n%s", v,
                             desktopChoices().c_str(), usage().c_str());
                exitCode = 2;
                return std::nullopt;
            }
            options.desktop = v;
        } else if (arg == "--screenshot-menu") {
            const char* v = value();
            if (!v || !*v) {
                std::fprintf(stderr, "panelora: --screenshot-menu needs a file\n%s",
                             usage().c_str());
                exitCode = 2;
                return std::nullopt;
            }
            options.screenshotMenu = v;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(usage().c_str(), stdout);
            exitCode = 0;
            return std::nullopt;
        } else if (arg == "--version") {
            std::printf("panelora %s\n", UpdateChecker::currentVersion().c_str());
            exitCode = 0;
            return std::nullopt;
        } else {
            std::fprintf(stderr, "panelora: unknown option %s\n%s", arg.c_str(), usage().c_str());
            exitCode = 2;
            return std::nullopt;
        }
    }
    return options;
}

// Qt sees only the program's name: our options are not its options (it would take --display).
int qtArgc = 1;
char qtProgramName[] = "panelora";
char* qtArgv[] = {qtProgramName, nullptr};

// --screenshot-menu: the menu as a streaming user sees it, popped up on the X display and
// grabbed into a PNG.
int screenshotMenu(const std::string& path, const std::string& display) {
    QApplication app(qtArgc, qtArgv);
    LinuxPermissions permissions(LinuxPermissions::Options{display, {}, {}, currentDesktops()});
    auto login = XdgAutostart::forCurrentUser();

    MenuState state;
    state.status =
        "Streaming " + StreamProfile::negotiate(2732, 2048, 120, false, std::nullopt).summary();
    SessionStats stats;
    stats.fps = 60;
    stats.mbps = 14.2;
    stats.encodeAvgMs = 3.1;
    stats.encodeMaxMs = 6.4;
    stats.linkAvgMs = 1.2;
    stats.linkMaxMs = 2.9;
    state.statsLine = stats.summary();
    state.canArrange = true;
    state.screenRecordingAllowed = permissions.screenRecordingPreflight();
    state.accessibilityAllowed = permissions.accessibilityTrusted(false);
    state.permissionTexts = permissions.texts();
    state.space = 0;
    state.preferSmooth = false;
    state.commandActsAsControl = true;
    state.launchAtLogin = login->status() == LoginItemBackend::Status::enabled;
    state.version = UpdateChecker::currentVersion();

    QMenu menu;
    fillMenu(menu, buildMenu(state), [](MenuItem, std::optional<int64_t>) {});
    menu.popup(QPoint(40, 40));
    int status = 1;
    QTimer::singleShot(800, &app, [&] {
        QPixmap picture = menu.grab();
        if (picture.isNull() || !picture.save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "panelora: could not save %s\n", path.c_str());
        } else {
            std::printf("panelora: menu saved to %s (%dx%d)\n", path.c_str(), picture.width(),
                        picture.height());
            status = 0;
        }
        menu.close();
        app.quit();
    });
    app.exec();
    return status;
}

int run(const Options& options) {
    std::unique_ptr<QApplication> qtApp;
    bool headless = options.headless;
    if (!headless) {
        if (!displayReachable()) {
            std::fprintf(stderr,
                         "panelora: no X display to show a tray icon on; going on headless\n");
            headless = true;
        } else {
            qtApp = std::make_unique<QApplication>(qtArgc, qtArgv);
            QApplication::setQuitOnLastWindowClosed(false);
            QApplication::setWindowIcon(appIcon());
            // After a login the panel may start a moment after this program.
            for (int waited = 0; !QSystemTrayIcon::isSystemTrayAvailable() && waited < trayWaitMs;
                 waited += 250) {
                QCoreApplication::processEvents();
                usleep(250'000);
            }
            if (!QSystemTrayIcon::isSystemTrayAvailable()) {
                std::fprintf(stderr,
                             "panelora: this desktop shows no tray icons; going on headless "
                             "(status lines on standard output)\n");
                qtApp.reset();
                headless = true;
            }
        }
    }

    // The main queue comes first: everything after it posts there.
    std::shared_ptr<RunLoopQueue> runLoop;
    std::shared_ptr<QtMainQueue> qtQueue;
    std::shared_ptr<SerialQueue> main;
    if (headless) {
        runLoop = std::make_shared<RunLoopQueue>("main");
        main = runLoop;
    } else {
        qtQueue = std::make_shared<QtMainQueue>();
        main = qtQueue;
    }
    setMainQueue(main);

    QApplication* app = qtApp.get();
    auto runtime = ShellRuntime::create(options.display, options.desktop, main, [runLoop, app] {
        if (runLoop) runLoop->stop();
        if (app) app->quit();
    });
    std::shared_ptr<Controller> controller = runtime->controller();

    std::unique_ptr<Tray> tray;
    std::shared_ptr<CurlHttpFetcher> fetcher;
    std::shared_ptr<QtAlertPresenter> alerts;
    if (headless) {
        runtime->printStatusLines();
    } else {
        fetcher = std::make_shared<CurlHttpFetcher>();
        alerts = std::make_shared<QtAlertPresenter>();
        auto checking = std::make_shared<bool>(false);
        Tray::Targets targets;
        targets.permissions = runtime->permissions();
        targets.loginItems = XdgAutostart::forCurrentUser();
        targets.version = UpdateChecker::currentVersion();
        targets.checkForUpdates = [fetcher, weakAlerts = std::weak_ptr<AlertPresenter>(alerts),
                                   main, checking] {
            if (*checking) return;  // one check, and so one alert, at a time
            *checking = true;
            UpdateChecker::Environment environment;
            environment.fetcher = fetcher;
            environment.presenter = weakAlerts;
            environment.openURL = [](const std::string& url) {
                QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
            };
            environment.queue = main;
            UpdateChecker::checkForUpdates(environment, [checking] { *checking = false; });
        };
        // The menu's action has shut the Controller down already; this finishes quitting.
        ShellRuntime* shell = runtime.get();
        targets.quit = [shell] { shell->quit(); };
        tray = std::make_unique<Tray>(controller, std::move(targets));
        tray->show();
    }

    controller->start();
    if (runLoop) {
        runLoop->run();
    } else {
        qtApp->exec();
    }

    tray.reset();
    alerts.reset();
    if (qtQueue) qtQueue->close();
    int status = runtime->finish();
    qtApp.reset();
    return status;
}

}  // namespace
}  // namespace panelora

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask and the allocator settings.
    panelora::blockStopSignals();
    panelora::boundAllocatorCaching();
    int exitCode = 0;
    auto options = panelora::parseOptions(argc, argv, exitCode);
    if (!options) return exitCode;
    // Qt, the backends and the settings programs started from the menu all follow $DISPLAY.
    if (!options->display.empty()) setenv("DISPLAY", options->display.c_str(), 1);
    if (!options->screenshotMenu.empty()) {
        return panelora::screenshotMenu(options->screenshotMenu, options->display);
    }
    return panelora::run(*options);
}
