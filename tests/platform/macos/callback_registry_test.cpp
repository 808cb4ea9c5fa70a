// The display geometry's reconfiguration callbacks: tokens, notification order and removal while
// a notification runs.
#include "platform/macos/portable/callback_registry.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(CallbackRegistry, NotifiesEveryRegisteredCallbackInOrder) {
    auto registry = std::make_shared<CallbackRegistry>();
    std::vector<std::string> calls;
    const auto first = registry->add([&](DisplayID display, uint32_t flags) {
        calls.push_back("first " + std::to_string(display) + " " + std::to_string(flags));
    });
    const auto second = registry->add([&](DisplayID, uint32_t) { calls.push_back("second"); });
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, first);
    registry->notify(7, DisplayChange::movedFlag);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 7 2", "second"}));

    calls.clear();
    registry->remove(first);
    registry->remove(first);  // twice: ignored
    registry->remove(12345);  // unknown: ignored
    registry->notify(7, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"second"}));
    registry->remove(second);
    EXPECT_TRUE(registry->empty());
    const auto third = registry->add([](DisplayID, uint32_t) {});
    EXPECT_NE(third, first);  // never reused
    EXPECT_NE(third, second);
}

TEST(CallbackRegistry, ChangesDuringANotification) {
    auto registry = std::make_shared<CallbackRegistry>();
    std::vector<std::string> calls;
    CallbackRegistry::Token later = 0;
    registry->add([&](DisplayID, uint32_t) {
        calls.push_back("remover");
        registry->remove(later);
        // Added now: called from the next notification on.
        registry->add([&](DisplayID, uint32_t) { calls.push_back("added"); });
    });
    later = registry->add([&](DisplayID, uint32_t) { calls.push_back("removed"); });
    registry->notify(1, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"remover"}));
    calls.clear();
    registry->notify(1, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"remover", "added"}));
}

}  // namespace
}  // namespace panelora::test
