#include "app/launch_at_login.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>

#include "support/log.h"

namespace panelora {
namespace {

using Status = LoginItemBackend::Status;

class ScriptedLoginItems final : public LoginItemBackend {
  public:
    Status current = Status::notRegistered;
    std::optional<std::string> registerError;
    std::optional<std::string> unregisterError;
    Status afterRegister = Status::enabled;
    int registers = 0;
    int unregisters = 0;

    std::optional<std::string> registerApp() override {
        ++registers;
        if (registerError) return registerError;
        current = afterRegister;
        return std::nullopt;
    }
    std::optional<std::string> unregisterApp() override {
        ++unregisters;
        if (unregisterError) return unregisterError;
        current = Status::notRegistered;
        return std::nullopt;
    }
    Status status() override { return current; }
};

class LaunchAtLogin : public ::testing::Test {
  protected:
    LaunchAtLogin() : sink(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(16)) {
        sink->set_pattern("%n|%v");
        log::addSink(sink);
    }
    ~LaunchAtLogin() override { log::removeSink(sink); }

    std::vector<std::string> lines() { return sink->last_formatted(); }

    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink;
    std::shared_ptr<ScriptedLoginItems> items = std::make_shared<ScriptedLoginItems>();
};

TEST_F(LaunchAtLogin, InitialStateIsThePlatformsStatus) {
    const std::pair<Status, bool> cases[] = {{Status::notRegistered, false},
                                             {Status::enabled, true},
                                             {Status::requiresApproval, false},
                                             {Status::notFound, false}};
    for (auto [status, enabled] : cases) {
        items->current = status;
        EXPECT_EQ(LaunchAtLoginToggle(items).enabled(), enabled) << static_cast<int>(status);
    }
}

TEST_F(LaunchAtLogin, SuccessfulRegistrationTurnsItOn) {
    LaunchAtLoginToggle toggle(items);
    toggle.setLaunchAtLogin(true);
    EXPECT_EQ(items->registers, 1);
    EXPECT_TRUE(toggle.enabled());
    toggle.setLaunchAtLogin(false);
    EXPECT_EQ(items->unregisters, 1);
    EXPECT_FALSE(toggle.enabled());
    EXPECT_TRUE(lines().empty());
}

TEST_F(LaunchAtLogin, FailedRegistrationStaysOffAndLogsOneLiteralLine) {
    items->registerError = "Operation not permitted {} %s";
    LaunchAtLoginToggle toggle(items);
    toggle.setLaunchAtLogin(true);
    EXPECT_FALSE(toggle.enabled());
    auto logged = lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "app|Launch at login failed: Operation not permitted {} %s\n");
}

TEST_F(LaunchAtLogin, RequiresApprovalShowsOff) {
    items->afterRegister = Status::requiresApproval;
    LaunchAtLoginToggle toggle(items);
    toggle.setLaunchAtLogin(true);
    EXPECT_EQ(items->registers, 1);
    EXPECT_FALSE(toggle.enabled());
    EXPECT_TRUE(lines().empty());
}

TEST_F(LaunchAtLogin, FailedUnregistrationSnapsBackToTheRealState) {
    items->current = Status::enabled;
    items->unregisterError = "busy";
    LaunchAtLoginToggle toggle(items);
    ASSERT_TRUE(toggle.enabled());
    toggle.setLaunchAtLogin(false);
    EXPECT_TRUE(toggle.enabled());
    EXPECT_EQ(lines(), (std::vector<std::string>{"app|Launch at login failed: busy\n"}));
}

TEST_F(LaunchAtLogin, ChangesMadeElsewhereShowAtTheNextCall) {
    LaunchAtLoginToggle toggle(items);
    items->current = Status::enabled;  // registered in the desktop's settings meanwhile
    EXPECT_FALSE(toggle.enabled());
    items->unregisterError = "not registered";
    toggle.setLaunchAtLogin(false);
    EXPECT_TRUE(toggle.enabled()) << "re-read after the call";
}

}  // namespace
}  // namespace panelora
