// Fakes for the application core's seams, and the surroundings of a Controller under test.
#pragma once

#include <fcntl.h>

#include "app/controller.h"
#include "app/launch_at_login.h"
#include "app/menu_model.h"
#include "app/permissions.h"
#include "fullest_menu.h"
#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {

class FakePermissions final : public PermissionsBackend {
  public:
    bool screenRecording = true, accessibility = true;
    int preflights = 0, requests = 0, prompts = 0;
    std::vector<std::string> opened;

    bool screenRecordingPreflight() override {
        ++preflights;
        return screenRecording;
    }
    bool accessibilityTrusted(bool prompt) override {
        prompts += prompt;
        return accessibility;
    }
    void requestScreenRecording() override { ++requests; }
    void openURL(const std::string& url) override { opened.push_back(url); }
};

class FakeDevices final : public DeviceSource {
  public:
    explicit FakeDevices(const Clock& clock) : clock_(clock) {}

    std::vector<USBMux::Device> devices;
    std::map<int64_t, bool> accepts;  // device id -> port 5555 accepts
    std::vector<int64_t> listTimes;   // main clock uptime of each listing
    std::vector<int64_t> connects;    // device ids, in call order

    std::vector<USBMux::Device> listDevices() override {
        listTimes.push_back(clock_.uptimeNanos());
        return devices;
    }
    std::optional<int> connect(int64_t deviceID, uint16_t port) override {
        connects.push_back(deviceID);
        if (port != 5555 || !accepts[deviceID]) return std::nullopt;
        return ::open("/dev/null", O_RDWR | O_CLOEXEC);  // a real descriptor to own and close
    }

  private:
    const Clock& clock_;
};

// Answers with `error`, or else moves to `after` (notRegistered for an unregistration).
class ScriptedLoginItems final : public LoginItemBackend {
  public:
    Status current = Status::notRegistered, after = Status::enabled;
    std::optional<std::string> error;

    std::optional<std::string> registerApp() override {
        if (!error) current = after;
        return error;
    }
    std::optional<std::string> unregisterApp() override {
        if (!error) current = Status::notRegistered;
        return error;
    }
    Status status() override { return current; }
};

struct StartCall {
    bool preferSmooth;
    std::optional<double> scale;
};

inline constexpr StreamProfile kProfile{2732, 2048, 60, 20'000'000, 1708, 1280};

// Owns its descriptor; start() answers with the result given at creation.
class FakeSession final : public SupervisedSession {
  public:
    FakeSession(int fd, std::optional<std::string> startResult)
        : fd_(fd), startResult_(std::move(startResult)) {}

    std::function<void()> onEnded;
    std::function<void(const SessionStats&)> onStats;
    std::optional<StartCall> started;
    int stops = 0;
    bool ended = false;
    std::vector<DisplayArrangement::Side> moves;

    void setOnEnded(std::function<void()> handler) override { onEnded = std::move(handler); }
    void setOnStats(std::function<void(const SessionStats&)> handler) override {
        onStats = std::move(handler);
    }
    std::optional<std::string> start(bool preferSmooth, std::optional<double> scale) override {
        started = StartCall{preferSmooth, scale};
        return startResult_;
    }
    // Like the real one: ends once and calls onEnded on the calling thread.
    void stop() override {
        ++stops;
        if (!std::exchange(ended, true) && onEnded) onEnded();
    }
    bool hasEnded() const override { return ended; }
    void moveDisplay(DisplayArrangement::Side side) override { moves.push_back(side); }
    StreamProfile profile() const override { return kProfile; }

    void sendStats(const SessionStats& stats) {
        if (onStats) onStats(stats);
    }

  private:
    UniqueFd fd_;
    std::optional<std::string> startResult_;
};

// A Controller's surroundings: the main queue on one manual clock, the background queue on
// another (so that a test decides when a blocking call "finishes"), fake permissions, devices
// and sessions, and settings in a temporary folder.
struct AppRig {
    test::TempDir dir;
    ManualClock clock, backgroundClock;
    std::shared_ptr<SerialQueue> mainQueue = clock.makeQueue("main");
    std::shared_ptr<SerialQueue> background = backgroundClock.makeQueue("background");
    std::shared_ptr<FakeDevices> devices = std::make_shared<FakeDevices>(clock);
    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    std::optional<std::string> nextStartError;           // for the next session made; then success
    std::vector<std::shared_ptr<FakeSession>> sessions;  // every one made

    std::filesystem::path settingsPath() const { return dir.path() / "settings.json"; }
    AppEnvironment environment() {
        auto makeSession = [this](int fd) {
            auto error = std::exchange(nextStartError, std::nullopt);
            return sessions.emplace_back(std::make_shared<FakeSession>(fd, std::move(error)));
        };
        return {permissions, makeSession, devices, std::make_shared<SettingsStore>(settingsPath()),
                mainQueue,   background,  &clock,  {}};
    }
    // Runs the main queue and lets every blocking call finish, until nothing is left to do now.
    bool settle() {
        for (int i = 0; i < 100; ++i) {
            clock.runUntilIdle();
            if (backgroundClock.pendingTasks() == 0) return true;
            backgroundClock.runUntilIdle();
        }
        return false;
    }
};

}  // namespace panelora::test
