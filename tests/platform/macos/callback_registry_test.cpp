// The display geometry's reconfiguration callbacks: tokens, notification order and removal while
// a notification runs.
#include "platform/macos/portable/callback_registry.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(CallbackRegistry, NotifiesInOrderUntilRemovedAndNeverReusesAToken) {
    auto registry = std::make_shared<CallbackRegistry>();
    std::vector<std::string> calls;
    const auto first = registry->add([&](DisplayID display, uint32_t flags) {
        calls.push_back("first " + std::to_string(display) + " " + std::to_string(flags));
    });
    const auto second = registry->add([&](DisplayID, uint32_t) { calls.push_back("second"); });
    registry->notify(7, DisplayChange::movedFlag);
    registry->remove(first);
    registry->remove(first);  // twice, and an unknown token: ignored
    registry->remove(12345);
    registry->notify(7, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"first 7 2", "second", "second"}));
    registry->remove(second);
    EXPECT_TRUE(registry->empty());
    const auto third = registry->add([](DisplayID, uint32_t) {});
    EXPECT_EQ(std::set<CallbackRegistry::Token>({0, first, second, third}).size(), 4u);
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
    registry->notify(1, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"remover", "remover", "added"}));
}

}  // namespace
}  // namespace panelora::test
