#include "app/controller.h"
#include "app/menu_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app_fakes.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;
using testing::FakeDevices;
using testing::FakePermissions;
using testing::FakeSession;
using testing::SessionFactoryFake;
using testing::TempDir;

constexpr const char* kStreaming =
    "Streaming 2732\u00D7"
    "2048 @ 60 fps \u00B7 looks like 1708\u00D7"
    "1280";

class ControllerTest : public ::testing::Test {
  protected:
    ControllerTest()
        : mainQueue(clock.makeQueue("main")),
          background(backgroundClock.makeQueue("background")),
          devices(std::make_shared<FakeDevices>(clock)),
          permissions(std::make_shared<FakePermissions>()) {}

    std::filesystem::path settingsPath() const { return dir.path() / "settings.json"; }

    void writeSettings(const std::string& json) { std::ofstream(settingsPath()) << json; }

    nlohmann::json storedSettings() const {
        std::ifstream in(settingsPath());
        if (!in) return nullptr;
        return nlohmann::json::parse(in);
    }

    std::shared_ptr<Controller> make() {
        AppEnvironment env;
        env.permissions = permissions;
        env.makeSession = sessions.factory();
        env.devices = devices;
        env.settings = std::make_shared<SettingsStore>(settingsPath());
        env.mainQueue = mainQueue;
        env.background = background;
        env.clock = &clock;
        controller = Controller::create(std::move(env));
        controller->addObserver([this] { ++notifications; });
        return controller;
    }

    // Runs the main queue and lets every blocking call finish, until nothing is left to do now.
    void settle() {
        for (int i = 0; i < 100; ++i) {
            clock.runUntilIdle();
            if (backgroundClock.pendingTasks() == 0) return;
            backgroundClock.runUntilIdle();
        }
        FAIL() << "the controller never settled";
    }

    // Moves time forward in small steps, letting blocking calls finish at each.
    void runFor(Duration duration) {
        for (Duration done = 0s; done < duration; done += 100ms) {
            clock.advance(100ms);
            settle();
        }
    }

    // Runs until a session's start() is posted to the background queue but has not run.
    std::shared_ptr<FakeSession> runUntilStartPending() {
        size_t before = sessions.created.size();
        for (int i = 0; i < 100; ++i) {
            clock.runUntilIdle();
            if (sessions.created.size() > before) return sessions.created.back();
            backgroundClock.runUntilIdle();
        }
        ADD_FAILURE() << "no session was created";
        return nullptr;
    }

    std::shared_ptr<FakeSession> startStreaming() {
        devices->devices = {{7, "tablet"}};
        devices->accepts[7] = true;
        make()->start();
        settle();
        EXPECT_EQ(controller->status(), kStreaming);
        EXPECT_EQ(sessions.created.size(), 1u);
        return sessions.created.empty() ? nullptr : sessions.created.back();
    }

    TempDir dir;
    ManualClock clock;
    ManualClock backgroundClock;
    std::shared_ptr<SerialQueue> mainQueue;
    std::shared_ptr<SerialQueue> background;
    std::shared_ptr<FakeDevices> devices;
    std::shared_ptr<FakePermissions> permissions;
    SessionFactoryFake sessions;
    std::shared_ptr<Controller> controller;
    int notifications = 0;
};

TEST_F(ControllerTest, InitialStateReadsPermissionsAndSettings) {
    writeSettings(R"({"space": 125, "preferSmooth": true})");
    permissions->accessibility = false;
    make();
    EXPECT_EQ(controller->status(), "Looking for your tablet\u2026");
    EXPECT_EQ(controller->statsLine(), "");
    EXPECT_FALSE(controller->canArrange());
    EXPECT_TRUE(controller->screenRecordingAllowed());
    EXPECT_FALSE(controller->accessibilityAllowed());
    EXPECT_EQ(controller->space(), 125);
    EXPECT_TRUE(controller->preferSmooth());
    EXPECT_FALSE(controller->hasSession());
    EXPECT_FALSE(controller->started());
    // Creation prompts nothing and starts nothing.
    EXPECT_EQ(permissions->prompts, 0);
    EXPECT_EQ(permissions->requests, 0);
    settle();
    EXPECT_TRUE(devices->listTimes.empty());
}

TEST_F(ControllerTest, AbsentOrMistypedSettingsReadAsDefaults) {
    writeSettings(R"({"space": "wide", "preferSmooth": 1})");
    make();
    EXPECT_EQ(controller->space(), 0);
    EXPECT_FALSE(controller->preferSmooth());
}

TEST_F(ControllerTest, RequiresPermissionsAndSessionFactory) {
    AppEnvironment env;
    env.mainQueue = mainQueue;
    env.background = background;
    env.settings = std::make_shared<SettingsStore>(settingsPath());
    EXPECT_THROW(Controller::create(env), std::invalid_argument);
    env.permissions = permissions;
    EXPECT_THROW(Controller::create(env), std::invalid_argument);
}

// What one attempt shows for each discovery outcome, and that none of them backs off.
TEST_F(ControllerTest, DiscoveryStatusWithoutBackoff) {
    struct Case {
        const char* name;
        std::vector<USBMux::Device> devices;
        std::map<int64_t, bool> accepts;
        const char* status;
    };
    const Case cases[] = {
        {"no daemon or no device", {}, {}, "Connect your tablet with the cable"},
        {"device without the app", {{3, "A"}}, {{3, false}}, "Tablet found: open Panelora on it"},
        {"two devices without the app",
         {{3, "A"}, {4, "B"}},
         {},
         "Tablet found: open Panelora on it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        devices = std::make_shared<FakeDevices>(clock);
        devices->devices = c.devices;
        devices->accepts = c.accepts;
        sessions.created.clear();
        make()->start();
        settle();
        EXPECT_EQ(controller->status(), c.status);
        EXPECT_EQ(devices->listTimes.size(), 1u);
        EXPECT_EQ(devices->connects.size(), c.devices.size());
        EXPECT_TRUE(sessions.created.empty());
        EXPECT_FALSE(controller->attemptInProgress());
        // The next attempt comes a second later.
        runFor(1s);
        EXPECT_EQ(devices->listTimes.size(), 2u);
        runFor(3s);
        EXPECT_EQ(devices->listTimes.size(), 5u);
        controller->shutdown();
        controller.reset();
        settle();
    }
}

TEST_F(ControllerTest, OneAttemptAtATimeWhileABlockingCallHangs) {
    make()->start();
    clock.runUntilIdle();  // the first tick posts a listing that does not finish
    EXPECT_TRUE(controller->attemptInProgress());
    clock.advance(5s);  // five more ticks; the listing still hangs
    EXPECT_EQ(backgroundClock.pendingTasks(), 1u);
    backgroundClock.runUntilIdle();
    clock.runUntilIdle();
    EXPECT_EQ(devices->listTimes.size(), 1u);
    EXPECT_FALSE(controller->attemptInProgress());
    EXPECT_EQ(controller->status(), "Connect your tablet with the cable");
}

TEST_F(ControllerTest, TwoDevicesTriedInOrderUntilOneAccepts) {
    devices->devices = {{1, "first"}, {2, "second"}, {3, "third"}};
    devices->accepts = {{1, false}, {2, true}, {3, true}};
    make()->start();
    settle();
    EXPECT_EQ(devices->connects, (std::vector<int64_t>{1, 2}));
    ASSERT_EQ(sessions.created.size(), 1u);
    EXPECT_EQ(controller->status(), kStreaming);
}

TEST_F(ControllerTest, StreamingShowsProfileAndStatistics) {
    writeSettings(R"({"space": 125})");
    auto session = startStreaming();
    ASSERT_TRUE(session);
    ASSERT_TRUE(session->started);
    EXPECT_FALSE(session->started->preferSmooth);
    EXPECT_EQ(session->started->scale, 1.25);
    EXPECT_TRUE(controller->hasSession());
    EXPECT_TRUE(controller->canArrange());
    EXPECT_EQ(controller->statsLine(), "");

    SessionStats stats;
    stats.fps = 60;
    stats.mbps = 12;
    session->sendStats(stats);
    EXPECT_EQ(controller->statsLine(), "") << "statistics reach the Controller on the main queue";
    settle();
    EXPECT_EQ(controller->statsLine(), stats.summary());
    EXPECT_FALSE(controller->statsLine().empty());

    // No listing while a session streams.
    size_t listings = devices->listTimes.size();
    runFor(5s);
    EXPECT_EQ(devices->listTimes.size(), listings);
}

TEST_F(ControllerTest, AutoSpacePassesNoScale) {
    auto session = startStreaming();
    ASSERT_TRUE(session && session->started);
    EXPECT_EQ(session->started->scale, std::nullopt);
}

TEST_F(ControllerTest, FailedStartShowsErrorAndBacksOffEightSeconds) {
    sessions.startResults = {std::string("Couldn't create the virtual display")};
    devices->devices = {{7, "tablet"}};
    devices->accepts[7] = true;
    make()->start();
    settle();
    int64_t failedAt = clock.uptimeNanos();
    ASSERT_EQ(sessions.created.size(), 1u);
    EXPECT_EQ(sessions.created[0]->stops, 1);
    EXPECT_EQ(controller->status(), "Error: Couldn't create the virtual display");
    EXPECT_FALSE(controller->hasSession());
    EXPECT_FALSE(controller->canArrange());
    EXPECT_EQ(controller->retryNotBefore(), failedAt + 8'000'000'000);

    // The stop()'s onEnded is for a session that was never stored: ignored.
    runFor(7900ms);
    EXPECT_EQ(controller->status(), "Error: Couldn't create the virtual display");
    EXPECT_EQ(devices->listTimes.size(), 1u);
    runFor(1100ms);
    ASSERT_EQ(devices->listTimes.size(), 2u);
    EXPECT_GE(static_cast<double>(devices->listTimes[1] - failedAt) / 1e9, 8.0);
    EXPECT_LE(static_cast<double>(devices->listTimes[1] - failedAt) / 1e9, 9.0);
    EXPECT_EQ(controller->status(), kStreaming) << "the next start succeeds";
}

TEST_F(ControllerTest, EndShowsDisconnectedAndRetriesThreeToFourSecondsLater) {
    auto session = startStreaming();
    ASSERT_TRUE(session);
    session->sendStats(SessionStats{});
    settle();
    ASSERT_FALSE(controller->statsLine().empty());

    runFor(300ms);  // off the one-second grid
    session->end();
    settle();
    int64_t endedAt = clock.uptimeNanos();
    EXPECT_EQ(controller->status(), "Disconnected");
    EXPECT_EQ(controller->statsLine(), "");
    EXPECT_FALSE(controller->canArrange());
    EXPECT_FALSE(controller->hasSession());

    size_t listings = devices->listTimes.size();
    runFor(5s);
    ASSERT_GT(devices->listTimes.size(), listings);
    double after = static_cast<double>(devices->listTimes[listings] - endedAt) / 1e9;
    EXPECT_GE(after, 3.0);
    EXPECT_LE(after, 4.0);
    EXPECT_EQ(sessions.created.size(), 2u);
}

TEST_F(ControllerTest, AnEndWhileTheStartFinishesLeadsToDisconnectedAndARetry) {
    devices->devices = {{7, "tablet"}};
    devices->accepts[7] = true;
    make()->start();
    auto starting = runUntilStartPending();
    ASSERT_TRUE(starting);
    // The tablet goes away while start() is finishing: the end reaches the main queue before the
    // (successful) start result does.
    starting->end();
    settle();
    const int64_t endedAt = clock.uptimeNanos();
    EXPECT_FALSE(controller->hasSession());
    EXPECT_FALSE(controller->canArrange());
    EXPECT_EQ(controller->status(), "Disconnected");

    const size_t listings = devices->listTimes.size();
    runFor(5s);
    ASSERT_GT(devices->listTimes.size(), listings);
    const double after = static_cast<double>(devices->listTimes[listings] - endedAt) / 1e9;
    EXPECT_GE(after, 3.0);
    EXPECT_LE(after, 4.0);
    EXPECT_EQ(controller->status(), kStreaming);
}

TEST_F(ControllerTest, LateCallbacksFromAnOldSessionAreIgnored) {
    auto first = startStreaming();
    ASSERT_TRUE(first);
    first->end();
    settle();
    // Statistics after the end leave the line empty.
    first->sendStats(SessionStats{60, 12, 4, 10, 3.0, 5.0, 0, 1});
    settle();
    EXPECT_EQ(controller->statsLine(), "");

    runFor(4s);
    ASSERT_EQ(sessions.created.size(), 2u);
    auto second = sessions.created[1];
    EXPECT_EQ(controller->status(), kStreaming);
    // The old session's callbacks cannot touch the new one's state.
    first->sendStats(SessionStats{60, 12, 4, 10, 3.0, 5.0, 0, 1});
    first->onEnded();
    settle();
    EXPECT_EQ(controller->statsLine(), "");
    EXPECT_TRUE(controller->hasSession());
    EXPECT_TRUE(controller->canArrange());
    EXPECT_EQ(controller->status(), kStreaming);
}

TEST_F(ControllerTest, CallbacksAfterTheControllerIsGoneDoNothing) {
    auto session = startStreaming();
    ASSERT_TRUE(session);
    controller.reset();
    session->sendStats(SessionStats{});
    session->end();
    clock.advance(3s);  // the hops find no Controller; the cancelled watch loop does not re-arm
    EXPECT_EQ(clock.pendingTasks(), 0u);
    EXPECT_EQ(backgroundClock.pendingTasks(), 0u);
}

TEST_F(ControllerTest, SettingChangeWhileStreamingStoresAndRestarts) {
    auto first = startStreaming();
    ASSERT_TRUE(first);
    notifications = 0;
    controller->setPreferSmooth(true);
    EXPECT_TRUE(controller->preferSmooth());
    EXPECT_EQ(storedSettings()["preferSmooth"], true);
    EXPECT_EQ(first->stops, 1);
    settle();
    EXPECT_EQ(controller->status(), "Disconnected");

    runFor(4s);
    ASSERT_EQ(sessions.created.size(), 2u);
    ASSERT_TRUE(sessions.created[1]->started);
    EXPECT_TRUE(sessions.created[1]->started->preferSmooth);
    EXPECT_EQ(sessions.created[1]->started->scale, std::nullopt);

    controller->setSpace(150);
    EXPECT_EQ(storedSettings()["space"], 150);
    EXPECT_EQ(sessions.created[1]->stops, 1);
    runFor(5s);
    ASSERT_EQ(sessions.created.size(), 3u);
    ASSERT_TRUE(sessions.created[2]->started);
    EXPECT_TRUE(sessions.created[2]->started->preferSmooth);
    EXPECT_EQ(sessions.created[2]->started->scale, 1.5);
    EXPECT_EQ(first->stops, 1) << "an ended session is not stopped again";
}

TEST_F(ControllerTest, ChoosingTheCurrentValueStoresNothingAndKeepsStreaming) {
    writeSettings(R"({"space": 100, "preferSmooth": false})");
    auto session = startStreaming();
    ASSERT_TRUE(session);
    std::filesystem::remove(settingsPath());
    notifications = 0;
    controller->setSpace(100);
    controller->setPreferSmooth(false);
    settle();
    EXPECT_FALSE(std::filesystem::exists(settingsPath())) << "nothing was written";
    EXPECT_EQ(session->stops, 0);
    EXPECT_EQ(controller->status(), kStreaming);
    EXPECT_EQ(notifications, 0);
}

TEST_F(ControllerTest, SettingChangeWithoutSessionOnlyStores) {
    make();
    controller->setSpace(125);
    EXPECT_EQ(storedSettings()["space"], 125);
    EXPECT_EQ(controller->status(), "Looking for your tablet\u2026");
    // A fresh Controller reads it back.
    controller.reset();
    make();
    EXPECT_EQ(controller->space(), 125);
}

TEST_F(ControllerTest, CommandActsAsControlIsOnByDefaultStoredAndAppliedWithoutARestart) {
    std::vector<bool> applied;
    auto makeOffering = [&] {
        AppEnvironment env;
        env.permissions = permissions;
        env.makeSession = sessions.factory();
        env.devices = devices;
        env.settings = std::make_shared<SettingsStore>(settingsPath());
        env.mainQueue = mainQueue;
        env.background = background;
        env.clock = &clock;
        env.applyCommandActsAsControl = [&](bool on) { applied.push_back(on); };
        controller = Controller::create(std::move(env));
    };
    EXPECT_EQ(make()->commandActsAsControl(), std::nullopt);  // not offered: no row, no setting
    EXPECT_FALSE(buildMenu(MenuState::of(*controller, false, "1")).empty());
    for (const MenuRow& row : buildMenu(MenuState::of(*controller, false, "1")))
        EXPECT_NE(row.item, MenuItem::commandActsAsControl);

    devices->devices = {{7, "tablet"}};
    devices->accepts[7] = true;
    makeOffering();
    controller->start();
    settle();
    EXPECT_EQ(controller->commandActsAsControl(), true);
    controller->setCommandActsAsControl(false);
    EXPECT_EQ(storedSettings()["commandActsAsControl"], false);
    EXPECT_EQ(applied, (std::vector<bool>{true, false}));
    EXPECT_EQ(sessions.created.back()->stops, 0);  // the keys change, the stream goes on
    const auto rows = buildMenu(MenuState::of(*controller, false, "1"));
    auto row = std::find_if(rows.begin(), rows.end(), [](const MenuRow& r) {
        return r.item == MenuItem::commandActsAsControl;
    });
    ASSERT_NE(row, rows.end());
    EXPECT_FALSE(row->checked);
    makeOffering();  // a fresh Controller reads it back
    EXPECT_EQ(applied.back(), false);
}

TEST_F(ControllerTest, SettingChangeDuringStartDoesNotStopTheStart) {
    devices->devices = {{7, "tablet"}};
    devices->accepts[7] = true;
    make()->start();
    auto starting = runUntilStartPending();
    ASSERT_TRUE(starting);
    EXPECT_FALSE(starting->started) << "start() has not run yet";

    controller->setSpace(125);
    EXPECT_EQ(starting->stops, 0) << "no session is stored yet, so nothing is stopped";
    EXPECT_EQ(storedSettings()["space"], 125);

    settle();  // the start finishes with the old value
    ASSERT_TRUE(starting->started);
    EXPECT_EQ(starting->started->scale, std::nullopt);
    // It streamed with a value the menu no longer shows, so it is restarted at once.
    EXPECT_EQ(starting->stops, 1);
    EXPECT_EQ(controller->status(), "Disconnected");
    runFor(4s);
    ASSERT_EQ(sessions.created.size(), 2u);
    ASSERT_TRUE(sessions.created[1]->started);
    EXPECT_EQ(sessions.created[1]->started->scale, 1.25);
    EXPECT_EQ(controller->status(), kStreaming);
}

TEST_F(ControllerTest, ScreenRecordingDeniedThenGranted) {
    permissions->screenRecording = false;
    make()->start();
    EXPECT_EQ(permissions->requests, 1);
    EXPECT_EQ(permissions->prompts, 1);
    settle();
    const std::string relaunch =
        "Allow Screen Recording for Panelora in System Settings, then relaunch";
    for (int second = 0; second < 4; ++second) {
        EXPECT_EQ(controller->status(), relaunch);
        runFor(1s);
    }
    EXPECT_TRUE(devices->listTimes.empty());
    EXPECT_FALSE(controller->screenRecordingAllowed());

    permissions->screenRecording = true;
    runFor(1s);
    EXPECT_TRUE(controller->screenRecordingAllowed());
    EXPECT_EQ(devices->listTimes.size(), 1u);
    EXPECT_EQ(controller->status(), "Connect your tablet with the cable");
}

TEST_F(ControllerTest, GrantedScreenRecordingIsNotRequested) {
    make()->start();
    EXPECT_EQ(permissions->requests, 0);
    EXPECT_EQ(permissions->prompts, 1);
}

TEST_F(ControllerTest, AccessibilityFlipReachesTheFieldWithinOneTickWithOneNotification) {
    permissions->accessibility = false;
    make()->start();
    settle();
    runFor(2s);
    ASSERT_FALSE(controller->accessibilityAllowed());
    notifications = 0;

    permissions->accessibility = true;
    runFor(1s);
    EXPECT_TRUE(controller->accessibilityAllowed());
    EXPECT_EQ(notifications, 1);

    // Unchanged probes tell nothing.
    runFor(3s);
    EXPECT_EQ(notifications, 1);

    permissions->accessibility = false;
    runFor(1s);
    EXPECT_FALSE(controller->accessibilityAllowed());
    EXPECT_EQ(notifications, 2);
}

TEST_F(ControllerTest, ObserversAreToldOnTheMainQueueAndCanBeRemoved) {
    make();
    int second = 0;
    auto token = controller->addObserver([&] { ++second; });
    controller->setSpace(100);
    controller->setPreferSmooth(true);
    EXPECT_EQ(notifications, 0) << "told on the main queue, not inside the setter";
    clock.runUntilIdle();
    EXPECT_EQ(notifications, 1) << "changes of one step are told once";
    EXPECT_EQ(second, 1);
    controller->removeObserver(token);
    controller->setSpace(150);
    clock.runUntilIdle();
    EXPECT_EQ(notifications, 2);
    EXPECT_EQ(second, 1);
}

TEST_F(ControllerTest, StartTwiceRunsOnce) {
    make();
    controller->start();
    controller->start();
    EXPECT_TRUE(controller->started());
    EXPECT_EQ(permissions->prompts, 1);
    settle();
    runFor(2s);
    EXPECT_EQ(devices->listTimes.size(), 3u) << "one watch loop: at 0, 1 and 2 s";
}

TEST_F(ControllerTest, MoveGoesToTheSessionOnlyWhenThereIsOne) {
    make();
    controller->move(DisplayArrangement::Side::left);  // nothing to move, nothing happens
    EXPECT_EQ(controller->status(), "Looking for your tablet\u2026");
    controller.reset();

    auto session = startStreaming();
    ASSERT_TRUE(session);
    controller->move(DisplayArrangement::Side::left);
    controller->move(DisplayArrangement::Side::right);
    EXPECT_EQ(session->moves,
              (std::vector<DisplayArrangement::Side>{DisplayArrangement::Side::left,
                                                     DisplayArrangement::Side::right}));
    session->end();
    settle();
    controller->move(DisplayArrangement::Side::left);
    EXPECT_EQ(session->moves.size(), 2u);
}

TEST_F(ControllerTest, ShutdownStopsTheSessionAndTheWatchLoop) {
    auto session = startStreaming();
    ASSERT_TRUE(session);
    controller->shutdown();
    EXPECT_EQ(session->stops, 1);
    size_t listings = devices->listTimes.size();
    runFor(10s);
    EXPECT_EQ(devices->listTimes.size(), listings);
    EXPECT_EQ(sessions.created.size(), 1u);
    controller->shutdown();  // idempotent
    EXPECT_EQ(session->stops, 1);
}

TEST_F(ControllerTest, ShutdownDuringStartStopsTheStartingSession) {
    devices->devices = {{7, "tablet"}};
    devices->accepts[7] = true;
    make()->start();
    auto starting = runUntilStartPending();
    ASSERT_TRUE(starting);
    controller->shutdown();
    EXPECT_EQ(starting->stops, 1) << "the virtual display must not outlive the application";
    settle();  // the start "succeeds" afterwards: the result is not kept
    EXPECT_FALSE(controller->hasSession());
    EXPECT_FALSE(controller->canArrange());
}

TEST_F(ControllerTest, SharedInstanceIsCreatedOnceFromTheConfiguredEnvironment) {
    static ManualClock sharedClock;
    static auto sharedPermissions = std::make_shared<FakePermissions>();
    static SessionFactoryFake sharedSessions;
    static TempDir sharedDir;
    // True on the first run of this test in the process; repeats find the instance made.
    Controller::configureShared([] {
        AppEnvironment env;
        env.permissions = sharedPermissions;
        env.makeSession = sharedSessions.factory();
        env.devices = std::make_shared<FakeDevices>(sharedClock);
        env.settings = std::make_shared<SettingsStore>(sharedDir.path() / "settings.json");
        env.mainQueue = sharedClock.makeQueue("main");
        env.background = sharedClock.makeQueue("background");
        return env;
    });
    auto first = Controller::shared();
    EXPECT_GT(sharedPermissions->preflights, 0) << "made from the configured environment";
    EXPECT_EQ(first, Controller::shared());
    EXPECT_FALSE(Controller::configureShared([] { return AppEnvironment{}; }));
    EXPECT_EQ(first, Controller::shared());
}

}  // namespace
}  // namespace panelora
