#include "app/launch_at_login.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

using Status = LoginItemBackend::Status;

// Answers with `error`, or else moves to `after` (notRegistered for an unregistration).
class ScriptedLoginItems final : public LoginItemBackend {
  public:
    Status current = Status::notRegistered;
    Status after = Status::enabled;
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

// The toggle shows the platform's status as read after each call, whatever the call said; a
// failure is one literal log line.
TEST(LaunchAtLogin, ShowsWhatThePlatformSaysAfterEachCall) {
    struct Case {
        Status initial;
        bool enable;
        std::optional<std::string> error;
        Status after;
        bool enabled;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {Status::notRegistered, true, {}, Status::enabled, true, {}},
        {Status::enabled, false, {}, Status::enabled, false, {}},
        {Status::notRegistered, true, {}, Status::requiresApproval, false, {}},
        {Status::notRegistered,
         true,
         "Operation not permitted {} %s",
         Status::enabled,
         false,
         {"app|Launch at login failed: Operation not permitted {} %s"}},
        {Status::enabled,
         false,
         "busy",
         Status::enabled,
         true,
         {"app|Launch at login failed: busy"}},
    };
    for (const Case& c : cases) {
        auto items = std::make_shared<ScriptedLoginItems>();
        items->current = c.initial;
        items->after = c.after;
        items->error = c.error;
        LaunchAtLoginToggle toggle(items);
        EXPECT_EQ(toggle.enabled(), c.initial == Status::enabled);
        LogCapture log("%n|%v");
        toggle.setLaunchAtLogin(c.enable);
        EXPECT_EQ(toggle.enabled(), c.enabled) << c.error.value_or("");
        EXPECT_EQ(log.lines(), c.logged);
    }
    // Approval pending or the app not found read as off, too.
    for (Status status : {Status::requiresApproval, Status::notFound}) {
        auto items = std::make_shared<ScriptedLoginItems>();
        items->current = status;
        EXPECT_FALSE(LaunchAtLoginToggle(items).enabled());
    }
}

}  // namespace
}  // namespace panelora::test
