// When the macOS backends call back: the display geometry's reconfiguration callbacks (tokens,
// order, removal while a notification runs), one completion per VideoToolbox frame, and
// quitting's wait for the session to wind down.
#include "platform/macos/portable/callback_registry.h"
#include "platform/macos/portable/encode_completion.h"
#include "platform/macos/portable/settle.h"

#include "support/manual_clock.h"
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

    // Changes during a notification.
    calls.clear();
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

// One completion per accepted VideoToolbox frame, whichever end comes first, none for a refused
// one.

EncodedSample sample(uint8_t byte) {
    EncodedSample s;
    s.avcc = {0, 0, 0, 1, byte};
    return s;
}

// The handler's result (a frame or a failure) and the call's return (accepted or refused) in
// either order: what completes.
TEST(EncodeCompletion, AnAcceptedFrameCompletesOnceWithTheHandlersResultARefusedOneNever) {
    using Avcc = std::optional<std::vector<uint8_t>>;
    // Whether the handler comes first, whether the call accepted the frame, the handler's result.
    const std::tuple<bool, bool, std::optional<EncodedSample>> cases[] = {
        {true, true, sample(7)},  {false, true, sample(7)},  {false, true, std::nullopt},
        {true, false, sample(7)}, {false, false, sample(7)},
    };
    for (const auto& [handlerFirst, accepted, result] : cases) {
        SCOPED_TRACE(std::to_string(handlerFirst) + std::to_string(accepted));
        std::vector<Avcc> completed;
        vt::EncodeCompletion gate([&](std::optional<EncodedSample> s) {
            completed.push_back(s ? Avcc(s->avcc) : std::nullopt);
        });
        const std::function<void()> handler = [&] { gate.handlerCalled(result); };
        const std::function<void()> call = [&] { gate.callReturned(accepted); };
        (handlerFirst ? handler : call)();
        EXPECT_TRUE(completed.empty());  // one end alone completes nothing
        (handlerFirst ? call : handler)();
        gate.handlerCalled(sample(8));  // a second handler call is ignored
        const Avcc expected = result ? Avcc(result->avcc) : std::nullopt;
        EXPECT_EQ(completed, accepted ? std::vector<Avcc>{expected} : std::vector<Avcc>{});
    }
}

TEST(EncodeCompletion, RacingEndsCompleteExactlyOnce) {
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> calls{0};
        auto gate = std::make_shared<vt::EncodeCompletion>(
            [&calls](std::optional<EncodedSample>) { calls.fetch_add(1); });
        std::thread handler([gate] { gate->handlerCalled(sample(3)); });
        gate->callReturned(true);
        handler.join();
        ASSERT_EQ(calls.load(), 1) << round;
    }
}

// Quitting's wait for the session to wind down, on a manual clock.

using std::chrono::milliseconds;

// Checks every 20 ms from the start on the queue, not in the caller; done once, when the
// condition holds or at the deadline, with nothing left behind.
TEST(Settle, CallsDoneOnceTheConditionHoldsOrAtTheDeadline) {
    // The check the condition first holds at (0: never), whether it settled, when, and the checks.
    const std::tuple<int, bool, int64_t, int> cases[] = {
        {4, true, 60, 4}, {0, false, 100, 6}, {1, true, 0, 1}};
    for (const auto& [holdsAtCheck, settled, doneAtMs, checksMade] : cases) {
        ManualClock clock;
        auto queue = clock.makeQueue("main");
        int checks = 0;
        std::vector<std::pair<bool, int64_t>> done;
        const int64_t start = clock.uptimeNanos();
        waitUntilSettled(
            queue, [&] { return ++checks == holdsAtCheck; }, milliseconds(100), milliseconds(20),
            [&](bool settled) { done.emplace_back(settled, clock.uptimeNanos() - start); });
        EXPECT_EQ(checks, 0);
        clock.advance(std::chrono::seconds(10));
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].first, settled);
        EXPECT_EQ(done[0].second, milliseconds(doneAtMs).count() * 1'000'000);
        EXPECT_EQ(checks, checksMade);
        EXPECT_EQ(clock.pendingTasks(), 0u);
    }
}

}  // namespace
}  // namespace panelora::test
