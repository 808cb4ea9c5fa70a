#include "app/launch_at_login.h"

#include "app_fakes.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using Status = LoginItemBackend::Status;
// The toggle shows the platform's status as read after each call, whatever the call said; a
// failure is one literal log line.
TEST(LaunchAtLogin, ShowsWhatThePlatformSaysAfterEachCall) {
    struct Case {
        Status initial;
        bool enable;
        const char* error;  // of the call, also logged
        Status after;
        bool enabled;
    };
    const Case cases[] = {
        {Status::notRegistered, true, nullptr, Status::enabled, true},
        {Status::enabled, false, nullptr, Status::enabled, false},
        {Status::notRegistered, true, nullptr, Status::requiresApproval, false},
        {Status::notRegistered, true, "Operation not permitted {} %s", Status::enabled, false},
        {Status::enabled, false, "busy", Status::enabled, true},
    };
    for (const Case& c : cases) {
        auto items = std::make_shared<ScriptedLoginItems>();
        items->current = c.initial;
        items->after = c.after;
        if (c.error) items->error = c.error;
        LaunchAtLoginToggle toggle(items);
        EXPECT_EQ(toggle.enabled(), c.initial == Status::enabled);
        LogCapture log("%n|%v");
        toggle.setLaunchAtLogin(c.enable);
        EXPECT_EQ(toggle.enabled(), c.enabled) << (c.error ? c.error : "");
        EXPECT_EQ(log.lines(),
                  c.error ? std::vector<std::string>{std::string("app|Launch at login failed: ") +
                                                     c.error}
                          : std::vector<std::string>{});
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
