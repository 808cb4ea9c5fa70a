// Controller: the application's one observable model and its main loop. It owns the two user
// settings, the permission flags, the status and statistics lines the menu shows, and at most one
// streaming session. Once a second it re-reads the permissions and, while nothing streams, looks
// for a tablet and connects to it; a connected socket becomes a session, which it supervises:
// streaming status, statistics, the end, the back-off, restarts after a setting change.
//
// Threads: every member is called on the main queue, and all state lives there, so there are no
// locks. Device listing, connecting and a session's start block, so they run on the background
// queue and hand their result back to the main queue. Session callbacks hold the Controller and the
// session weakly and only hop to the main queue; events from a session that is no longer the
// current one are dropped by an identity test.
//
// Observers are told, on the main queue, after published fields changed (several changes made by
// one step are told once); an assignment of the value a field already has tells nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/device_source.h"
#include "app/permissions.h"
#include "app/supervised_session.h"
#include "support/clock.h"
#include "support/serial_queue.h"
#include "support/settings_store.h"
#include "support/timer_source.h"
#include "transport/socket_io.h"

namespace panelora {

// What the Controller works with. Empty members get the process's own, where there is one.
struct AppEnvironment {
    std::shared_ptr<PermissionsBackend> permissions;  // required
    SessionFactory makeSession;                       // required
    std::shared_ptr<DeviceSource> devices;            // default: DeviceSource::usbmux()
    std::shared_ptr<SettingsStore> settings;          // default: SettingsStore::standard()
    std::shared_ptr<SerialQueue> mainQueue;           // default: panelora::mainQueue()
    // Runs the blocking calls, one at a time. Default: a queue with its own thread.
    std::shared_ptr<SerialQueue> background;
    // Measures the back-off. Default: the main queue's clock (a test's ManualClock).
    const Clock* clock = nullptr;
    // Where the platform's shortcuts use Control rather than Command: applies the setting
    // "commandActsAsControl" (on unless stored off) to the key injector. Empty: not offered.
    std::function<void(bool)> applyCommandActsAsControl;
};

class Controller : public std::enable_shared_from_this<Controller> {
  public:
    static constexpr uint16_t tabletPort = 5555;
    static constexpr Duration watchInterval = std::chrono::seconds(1);
    static constexpr Duration startFailureBackoff = std::chrono::seconds(8);
    static constexpr Duration endedBackoff = std::chrono::seconds(3);

    static constexpr const char* lookingText = "Looking for your tablet\u2026";
    static constexpr const char* allowScreenRecordingText =
        Permissions::allowScreenRecordingStatus;
    static constexpr const char* noDeviceText = "Connect your tablet with the cable";
    static constexpr const char* noAppText = "Tablet found: open Panelora on it";
    static constexpr const char* disconnectedText = "Disconnected";

    // Reads the permission flags and the settings; starts nothing. Throws std::invalid_argument
    // without permissions or a session factory.
    static std::shared_ptr<Controller> create(AppEnvironment environment);

    // The process's instance, created on first use (once) from the environment given to
    // configureShared(). The shell configures it at start-up, before anything touches shared().
    static std::shared_ptr<Controller> shared();
    // False (and ignored) once the instance exists.
    static bool configureShared(std::function<AppEnvironment()> makeEnvironment);

    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Published fields, in declaration order.
    const std::string& status() const { return status_; }
    const std::string& statsLine() const { return statsLine_; }
    bool canArrange() const { return canArrange_; }
    bool screenRecordingAllowed() const { return screenRecordingAllowed_; }
    bool accessibilityAllowed() const { return accessibilityAllowed_; }
    // The platform's words for the missing permissions (its status while capture is not
    // allowed, the menu's advice).
    const PermissionTexts& permissionTexts() const { return permissionTexts_; }
    int64_t space() const { return space_; }
    bool preferSmooth() const { return preferSmooth_; }
    // Nothing where the setting is not offered.
    std::optional<bool> commandActsAsControl() const { return commandActsAsControl_; }

    // Settings from the menu's pickers: a new value is stored and the running session stopped, so
    // that the next one uses it. The value already set does nothing.
    void setSpace(int64_t value);
    void setPreferSmooth(bool value);
    // Stored and applied to the keys from the next one on; the session goes on.
    void setCommandActsAsControl(bool value);

    // Once: the permission prompts, then the watch loop. Later calls do nothing.
    void start();
    // Quitting: stops the watch loop and any session (also one still starting), so the virtual
    // display goes away; later results of blocking calls are dropped. Idempotent.
    void shutdown();

    // The menu's move commands; nothing without a session.
    void move(DisplayArrangement::Side side);
    // Stops the running session, if any; its end leads to "Disconnected" and a restart.
    void stopSession();

    using ObserverToken = uint64_t;
    ObserverToken addObserver(std::function<void()> observer);
    void removeObserver(ObserverToken token);

    PermissionsBackend& permissions() const { return *env_.permissions; }

    // The watch loop's steps, public for the shells' tests and diagnostics.
    void refreshPermissions();
    // One attempt: nothing while another runs, or before retryNotBefore().
    void attemptConnection();
    // The rest of an attempt with a connected socket, which it owns from here on.
    void startSession(int fd);

    // Unpublished state.
    bool hasSession() const { return session_ != nullptr; }
    bool started() const { return started_; }
    bool attemptInProgress() const { return attemptInProgress_; }
    // Uptime in nanoseconds before which no attempt begins (INT64_MIN at first).
    int64_t retryNotBefore() const { return retryNotBefore_; }

  private:
    explicit Controller(AppEnvironment environment);

    template <class Field>
    void assign(Field& field, Field value);
    void changed();
    void tick();
    void finishAttempt();
    void devicesListed(std::vector<USBMux::Device> devices);
    void tryDevice(std::shared_ptr<const std::vector<USBMux::Device>> devices, size_t index);
    void connected(std::shared_ptr<const std::vector<USBMux::Device>> devices, size_t index,
                   std::shared_ptr<UniqueFd> socket);
    void sessionStartFinished(const std::shared_ptr<SupervisedSession>& session, bool preferSmooth,
                              std::optional<double> scale, std::optional<std::string> error);
    void handleSessionEnded(const std::shared_ptr<SupervisedSession>& session);
    void enterDisconnected();
    void handleStats(const SessionStats& stats, const std::shared_ptr<SupervisedSession>& session);
    std::optional<double> scale() const;
    int64_t now() const;

    // Runs `work` on the background queue and `done` with its result on the main queue, as long
    // as the Controller still exists then.
    template <class Result>
    void inBackground(std::function<Result()> work, std::function<void(Controller&, Result)> done);

    AppEnvironment env_;

    // Published.
    std::string status_ = lookingText;
    std::string statsLine_;
    bool canArrange_ = false;
    bool screenRecordingAllowed_ = false;
    bool accessibilityAllowed_ = false;
    PermissionTexts permissionTexts_;
    int64_t space_ = 0;
    bool preferSmooth_ = false;
    std::optional<bool> commandActsAsControl_;

    // Unpublished.
    std::shared_ptr<SupervisedSession> session_;
    bool started_ = false;
    int64_t retryNotBefore_ = INT64_MIN;

    std::shared_ptr<SupervisedSession> starting_;  // the session whose start() is running
    bool startingEnded_ = false;                   // its end arrived before its start result
    bool attemptInProgress_ = false;
    bool shutDown_ = false;
    std::shared_ptr<TimerSource> watch_;
    std::map<ObserverToken, std::function<void()>> observers_;
    ObserverToken nextToken_ = 1;
    bool notifyPending_ = false;
};

}  // namespace panelora
