// Quitting's wait for the session to wind down, on a manual clock.
#include "platform/macos/portable/settle.h"

#include "support/manual_clock.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

using std::chrono::milliseconds;

TEST(Settle, CallsDoneOnceTheConditionHolds) {
    ManualClock clock;
    auto queue = clock.makeQueue("main");
    int checks = 0;
    std::vector<std::pair<bool, int64_t>> done;
    const int64_t start = clock.uptimeNanos();
    waitUntilSettled(
        queue, [&] { return ++checks == 4; }, std::chrono::seconds(5), milliseconds(20),
        [&](bool settled) { done.emplace_back(settled, clock.uptimeNanos() - start); });
    EXPECT_EQ(checks, 0);  // on the queue, not in the caller
    clock.advance(std::chrono::seconds(10));
    ASSERT_EQ(done.size(), 1u);
    EXPECT_TRUE(done[0].first);
    EXPECT_EQ(done[0].second, milliseconds(60).count() * 1'000'000);  // checks at 0, 20, 40, 60
    EXPECT_EQ(checks, 4);
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

TEST(Settle, GivesUpAtTheDeadline) {
    ManualClock clock;
    auto queue = clock.makeQueue("main");
    int checks = 0;
    std::optional<bool> result;
    waitUntilSettled(
        queue, [&] { return ++checks < 0; }, milliseconds(100), milliseconds(20),
        [&](bool settled) { result = settled; });
    clock.advance(milliseconds(99));
    EXPECT_FALSE(result);
    clock.advance(milliseconds(1));
    EXPECT_EQ(result, false);
    EXPECT_EQ(checks, 6);  // at 0, 20, …, 100
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

TEST(Settle, ImmediatelySettled) {
    ManualClock clock;
    auto queue = clock.makeQueue("main");
    std::optional<bool> result;
    waitUntilSettled(
        queue, [] { return true; }, milliseconds(100), milliseconds(20),
        [&](bool settled) { result = settled; });
    clock.runUntilIdle();
    EXPECT_EQ(result, true);
}

}  // namespace
}  // namespace panelora::test
