#include "app/controller.h"
#include "app/menu_model.h"

#include <nlohmann/json.hpp>

#include "app_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Side = DisplayArrangement::Side;

const std::string kStreaming = "Streaming " + kProfile.summary();
const std::string kStreamingShown = kStreaming + "||arrange|session";

class ControllerTest : public ::testing::Test, public AppRig {
  protected:
    nlohmann::json stored() const { return nlohmann::json::parse(readFile(settingsPath())); }

    std::shared_ptr<Controller> make() {
        AppEnvironment env = environment();
        env.applyCommandActsAsControl = applyCommandActsAsControl;
        controller = Controller::create(std::move(env));
        controller->addObserver([this] { ++notifications; });
        return controller;
    }
    // Moves time forward in small steps, letting blocking calls finish at each.
    void runFor(Duration duration) {
        for (Duration done = 0s; done < duration; done += 100ms) {
            clock.advance(100ms);
            ASSERT_TRUE(settle()) << "the controller never settled";
        }
    }
    // Runs until a session's start() is posted to the background queue but has not run (one
    // accepting tablet unless the test listed devices).
    std::shared_ptr<FakeSession> runUntilStartPending() {
        if (devices->devices.empty()) {
            devices->devices = {{7, "tablet"}};
            devices->accepts[7] = true;
        }
        make()->start();
        for (int i = 0; i < 100 && sessions.empty(); ++i) {
            clock.runUntilIdle();
            if (sessions.empty()) backgroundClock.runUntilIdle();
        }
        EXPECT_EQ(sessions.size(), 1u) << "no session was created";
        return sessions.empty() ? nullptr : sessions.back();
    }
    std::shared_ptr<FakeSession> startStreaming() {
        auto session = runUntilStartPending();
        settle();
        EXPECT_EQ(controller->status(), kStreaming);
        return session;
    }
    // The status, the statistics line, "arrange" when the display can be moved, and "session"
    // while one is kept.
    std::string shown() const {
        return controller->status() + "|" + controller->statsLine() +
               (controller->canArrange() ? "|arrange" : "") +
               (controller->hasSession() ? "|session" : "");
    }

    std::shared_ptr<Controller> controller;
    int notifications = 0;
    std::function<void(bool)> applyCommandActsAsControl;  // offered when set
};

TEST_F(ControllerTest, CreationNeedsItsSeamsStartsNothingAndStartRunsOnce) {
    AppEnvironment env = environment();
    env.makeSession = nullptr;
    EXPECT_THROW(Controller::create(env), std::invalid_argument);
    env = environment();
    env.permissions = nullptr;
    EXPECT_THROW(Controller::create(env), std::invalid_argument);
    make();
    settle();
    EXPECT_EQ(permissions->prompts, 0);
    EXPECT_TRUE(devices->listTimes.empty());
    controller->start();
    controller->start();
    EXPECT_EQ(permissions->prompts, 1);
    EXPECT_EQ(permissions->requests, 0) << "granted screen recording is not requested";
    runFor(2s);
    EXPECT_EQ(devices->listTimes.size(), 3u) << "one watch loop: at 0, 1 and 2 s";
}

// What one attempt shows for each discovery outcome, and that none of them backs off. While a
// blocking call hangs no further attempt starts.
TEST_F(ControllerTest, DiscoveryStatusOneAttemptAtATimeAndNoBackoff) {
    // The devices listed, which of them accept, and the status shown.
    const std::tuple<std::vector<USBMux::Device>, std::map<int64_t, bool>, const char*> cases[] = {
        {{}, {}, Controller::noDeviceText},
        {{{3, "A"}}, {{3, false}}, Controller::noAppText},
        {{{3, "A"}, {4, "B"}}, {}, Controller::noAppText},
    };
    for (const auto& [listed, accepts, status] : cases) {
        SCOPED_TRACE(listed.size());
        devices = std::make_shared<FakeDevices>(clock);
        devices->devices = listed;
        devices->accepts = accepts;
        make()->start();
        clock.runUntilIdle();  // the first tick posts a listing that does not finish
        EXPECT_TRUE(controller->attemptInProgress());
        clock.advance(5s);  // five more ticks; the listing still hangs
        EXPECT_EQ(backgroundClock.pendingTasks(), 1u);
        settle();
        EXPECT_EQ(devices->listTimes.size(), 1u);
        EXPECT_EQ(controller->status(), status);
        EXPECT_EQ(devices->connects.size(), listed.size());
        EXPECT_TRUE(sessions.empty());
        EXPECT_FALSE(controller->attemptInProgress());
        runFor(4s);  // the next attempts come a second apart
        EXPECT_EQ(devices->listTimes.size(), 5u);
        controller->shutdown();
        settle();
    }
}

TEST_F(ControllerTest, StreamsFromTheFirstDeviceThatAcceptsWithProfileAndStatistics) {
    writeFile(settingsPath(), R"({"space": 125})");
    devices->devices = {{1, "first"}, {2, "second"}, {3, "third"}};
    devices->accepts = {{1, false}, {2, true}, {3, true}};
    auto session = startStreaming();
    ASSERT_TRUE(session && session->started);
    EXPECT_EQ(shown(), kStreamingShown);
    EXPECT_EQ(devices->connects, (std::vector<int64_t>{1, 2}));
    EXPECT_FALSE(session->started->preferSmooth);
    EXPECT_EQ(session->started->scale, 1.25);
    controller->move(Side::left);
    controller->move(Side::right);
    EXPECT_EQ(session->moves, (std::vector<Side>{Side::left, Side::right}));
    SessionStats stats;
    stats.fps = 60;
    session->sendStats(stats);
    EXPECT_EQ(controller->statsLine(), "") << "statistics reach the Controller on the main queue";
    settle();
    EXPECT_EQ(controller->statsLine(), stats.summary());
    const size_t listings = devices->listTimes.size();
    runFor(5s);
    EXPECT_EQ(devices->listTimes.size(), listings) << "no listing while a session streams";

    // Once the Controller is gone, the session's callbacks find nothing, and the watch loop is
    // not re-armed.
    controller.reset();
    session->sendStats(SessionStats{});
    session->stop();  // the tablet went away
    clock.advance(3s);
    EXPECT_EQ(clock.pendingTasks(), 0u);
    EXPECT_EQ(backgroundClock.pendingTasks(), 0u);
}

// A failed start shows its error and retries eight to nine seconds later; an end while
// streaming, or one that reaches the main queue before the (successful) start result does, shows
// "Disconnected" and retries three to four seconds later. Meanwhile there is nothing to move, and
// the ended session's late callbacks cannot touch the next one's state.
TEST_F(ControllerTest, EachEndShowsItsStatusAndRetriesAfterItsBackoff) {
    enum How { failedStart, whileStreaming, whileStarting };
    const std::tuple<How, std::string, int> cases[] = {
        {failedStart, "Error: Couldn't create the virtual display|", 8},
        {whileStreaming, "Disconnected|", 3},
        {whileStarting, "Disconnected|", 3},
    };
    for (const auto& [how, shows, backoff] : cases) {
        SCOPED_TRACE(how);
        sessions.clear();
        if (how == failedStart) nextStartError = "Couldn't create the virtual display";
        auto session = runUntilStartPending();
        ASSERT_TRUE(session);
        if (how == whileStreaming) {
            settle();
            session->sendStats(SessionStats{});
            runFor(300ms);  // off the one-second grid
            ASSERT_FALSE(controller->statsLine().empty());
        }
        if (how != failedStart) session->stop();  // the tablet went away
        settle();
        const int64_t endedAt = clock.uptimeNanos();
        const size_t listings = devices->listTimes.size();
        EXPECT_TRUE(session->ended);  // a failed start is stopped, too
        runFor(std::chrono::seconds(backoff) - 100ms);
        EXPECT_EQ(shown(), shows);
        controller->move(Side::left);  // nothing to move
        EXPECT_TRUE(session->moves.empty());
        runFor(5s);
        ASSERT_EQ(sessions.size(), 2u);
        const double after = double(devices->listTimes.at(listings) - endedAt) / 1e9;
        EXPECT_GE(after, backoff);
        EXPECT_LE(after, backoff + 1);
        session->sendStats(SessionStats{60, 12, 4, 10, 3.0, 5.0, 0, 1});
        session->onEnded();
        settle();
        EXPECT_EQ(shown(), kStreamingShown);
        controller->shutdown();
        settle();
    }
}

// The value already chosen changes nothing; a new one is stored and restarts the session.
TEST_F(ControllerTest, SettingChangeWhileStreamingStoresAndRestarts) {
    auto first = startStreaming();
    ASSERT_TRUE(first);
    notifications = 0;
    controller->setSpace(0);
    controller->setPreferSmooth(false);
    settle();
    EXPECT_FALSE(std::filesystem::exists(settingsPath())) << "nothing was written";
    EXPECT_EQ(first->stops, 0);
    EXPECT_EQ(notifications, 0);

    controller->setPreferSmooth(true);
    EXPECT_EQ(stored()["preferSmooth"], true);
    EXPECT_EQ(first->stops, 1);
    settle();
    EXPECT_EQ(controller->status(), Controller::disconnectedText);
    runFor(4s);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_TRUE(sessions[1]->started->preferSmooth);
    EXPECT_EQ(sessions[1]->started->scale, std::nullopt);  // Auto passes no scale

    controller->setSpace(150);
    EXPECT_EQ(sessions[1]->stops, 1);
    EXPECT_EQ(first->stops, 1) << "an ended session is not stopped again";
}

TEST_F(ControllerTest, SettingChangeDuringStartDoesNotStopTheStart) {
    auto starting = runUntilStartPending();
    ASSERT_TRUE(starting);
    controller->setSpace(125);  // before start() runs
    EXPECT_EQ(starting->stops, 0) << "no session is stored yet, so nothing is stopped";
    settle();  // the start finishes with the old value
    EXPECT_EQ(starting->started->scale, std::nullopt);
    // It streamed with a value the menu no longer shows, so it is restarted at once.
    EXPECT_EQ(starting->stops, 1);
    EXPECT_EQ(controller->status(), Controller::disconnectedText);
    runFor(4s);
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[1]->started->scale, 1.25);
}

TEST_F(ControllerTest, CommandActsAsControlIsOnByDefaultStoredAndAppliedWithoutARestart) {
    auto menuRow = [&]() -> std::optional<bool> {  // the row's check mark, if there is a row
        for (const MenuRow& row : buildMenu(MenuState::of(*controller, false, "1")))
            if (row.item == MenuItem::commandActsAsControl) return row.checked;
        return std::nullopt;
    };
    EXPECT_EQ(make()->commandActsAsControl(), std::nullopt);  // not offered: no row, no setting
    EXPECT_EQ(menuRow(), std::nullopt);

    std::vector<bool> applied;
    applyCommandActsAsControl = [&](bool on) { applied.push_back(on); };
    auto session = startStreaming();
    EXPECT_EQ(controller->commandActsAsControl(), true);
    controller->setCommandActsAsControl(false);
    EXPECT_EQ(stored()["commandActsAsControl"], false);
    EXPECT_EQ(session->stops, 0);  // the keys change, the stream goes on
    EXPECT_EQ(menuRow(), false);
    make();  // a fresh Controller reads it back
    EXPECT_EQ(applied, (std::vector<bool>{true, false, false}));
}

TEST_F(ControllerTest, PermissionsAreProbedEverySecondAndScreenRecordingGatesTheAttempts) {
    permissions->screenRecording = permissions->accessibility = false;
    make()->start();
    EXPECT_EQ(permissions->requests, 1);
    runFor(3s);
    EXPECT_EQ(controller->status(), Controller::allowScreenRecordingText);
    EXPECT_TRUE(devices->listTimes.empty());
    notifications = 0;
    permissions->accessibility = true;
    runFor(1s);
    EXPECT_TRUE(controller->accessibilityAllowed());
    EXPECT_EQ(notifications, 1);
    runFor(2s);  // unchanged probes tell nothing
    EXPECT_EQ(notifications, 1);
    permissions->screenRecording = true;
    runFor(1s);
    EXPECT_TRUE(controller->screenRecordingAllowed());
    EXPECT_EQ(devices->listTimes.size(), 1u);
    EXPECT_EQ(controller->status(), Controller::noDeviceText);
}

TEST_F(ControllerTest, ObserversAreToldOnTheMainQueueAndAChangeWithoutASessionIsOnlyStored) {
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
    EXPECT_EQ(stored()["space"], 150);
    EXPECT_EQ(controller->status(), Controller::lookingText);
}

// Streaming or starting, the session is stopped (the virtual display must not outlive the
// application), and no attempt follows.
TEST_F(ControllerTest, ShutdownStopsTheSessionAndTheWatchLoop) {
    for (bool starting : {false, true}) {
        SCOPED_TRACE(starting ? "while starting" : "while streaming");
        sessions.clear();
        auto session = starting ? runUntilStartPending() : startStreaming();
        ASSERT_TRUE(session);
        const size_t listings = devices->listTimes.size();
        controller->shutdown();
        controller->shutdown();  // idempotent
        EXPECT_EQ(session->stops, 1);
        runFor(10s);  // a start that "succeeds" afterwards is not kept
        EXPECT_FALSE(controller->hasSession() || controller->canArrange());
        EXPECT_EQ(devices->listTimes.size(), listings);
        EXPECT_EQ(sessions.size(), 1u);
    }
}

TEST(ControllerShared, IsCreatedOnceFromTheConfiguredEnvironment) {
    static AppRig rig;
    // True on the first run of this test in the process; repeats find the instance made.
    Controller::configureShared([] { return rig.environment(); });
    auto first = Controller::shared();
    EXPECT_GT(rig.permissions->preflights, 0) << "made from the configured environment";
    EXPECT_FALSE(Controller::configureShared([] { return AppEnvironment{}; }));
    EXPECT_EQ(first, Controller::shared());
}

}  // namespace
}  // namespace panelora::test
