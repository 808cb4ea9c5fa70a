#include "support/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/main_queue.h"
#include "support/manual_clock.h"

namespace panelora {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInPostingOrder) {
    auto queue = SerialQueue::create("test.order");
    std::vector<int> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 2000; ++i) {
        queue->post([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue->flush();
    ASSERT_EQ(seen.size(), 2000u);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(seen[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, KeepsEachProducersOrderUnderConcurrentPosting) {
    auto queue = SerialQueue::create("test.producers");
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 500;
    std::vector<std::vector<int>> seen(kProducers);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                queue->post([&, p, i] { seen[p].push_back(i); });
        });
    }
    for (auto& t : producers)
        t.join();
    queue->flush();
    for (int p = 0; p < kProducers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<size_t>(kPerProducer));
        for (int i = 0; i < kPerProducer; ++i)
            ASSERT_EQ(seen[p][i], i);
    }
}

TEST(SerialQueue, IsCurrentOnlyInsideItsOwnTasks) {
    auto queue = SerialQueue::create("test.current");
    auto other = SerialQueue::create("test.other");
    std::promise<std::pair<bool, bool>> result;
    queue->post([&] { result.set_value({queue->isCurrent(), other->isCurrent()}); });
    auto [mine, theirs] = result.get_future().get();
    EXPECT_TRUE(mine);
    EXPECT_FALSE(theirs);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueue, DestructionRunsPostedTasksAndDropsDelayedOnes) {
    std::atomic<int> ran{0};
    std::atomic<bool> delayedRan{false};
    {
        auto queue = SerialQueue::create("test.teardown");
        queue->post([&] {
            std::this_thread::sleep_for(20ms);
            ++ran;
        });
        queue->post([&] { ++ran; });
        queue->postAfter(10s, [&] { delayedRan = true; });
    }  // must not wait ten seconds
    EXPECT_EQ(ran, 2);
    EXPECT_FALSE(delayedRan);
}

TEST(SerialQueue, LastOwnerLettingGoFromItsOwnTaskDoesNotDeadlock) {
    auto queue = SerialQueue::create("test.self-release");
    std::promise<void> released;
    auto* raw = queue.get();
    raw->post([q = std::move(queue), &released]() mutable {
        q.reset();
        released.set_value();
    });
    EXPECT_EQ(released.get_future().wait_for(5s), std::future_status::ready);
}

TEST(SerialQueue, PostAfterRunsDelayedTasksInDeadlineOrder) {
    auto queue = SerialQueue::create("test.delayed");
    std::mutex mutex;
    std::vector<int> seen;
    std::promise<void> done;
    queue->postAfter(60ms, [&] {
        std::lock_guard lock(mutex);
        seen.push_back(3);
        done.set_value();
    });
    queue->postAfter(30ms, [&] {
        std::lock_guard lock(mutex);
        seen.push_back(2);
    });
    queue->postAfter(0ms, [&] {
        std::lock_guard lock(mutex);
        seen.push_back(1);
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, FlushFromInsideTheQueueReturnsAtOnce) {
    auto queue = SerialQueue::create("test.flush-inside");
    std::promise<void> done;
    queue->post([&] {
        queue->flush();
        done.set_value();
    });
    EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(MainQueue, ReplacingItWhileOneOfItsTasksAsksForItDoesNotDeadlock) {
    auto first = SerialQueue::create("test.main-1");
    setMainQueue(first);
    std::promise<void> asked;
    first->post([&] {
        std::this_thread::sleep_for(50ms);
        mainQueue();  // the replacement is under way on the test's thread
        asked.set_value();
    });
    first.reset();
    auto replaced =
        std::async(std::launch::async, [] { setMainQueue(SerialQueue::create("test.main-2")); });
    EXPECT_EQ(replaced.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(asked.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(mainQueue()->label(), "test.main-2");
    setMainQueue(nullptr);
}

TEST(RunLoopQueue, RunsOnTheCallingThreadUntilStopped) {
    RunLoopQueue loop("test.main");
    std::thread::id ranOn;
    std::vector<int> seen;
    loop.post([&] {
        ranOn = std::this_thread::get_id();
        seen.push_back(1);
        EXPECT_TRUE(loop.isCurrent());
    });
    loop.postAfter(20ms, [&] {
        seen.push_back(2);
        loop.stop();
    });
    loop.run();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_FALSE(loop.isCurrent());
}

TEST(ManualQueue, RunsTasksOnlyWhenTheClockMoves) {
    ManualClock clock;
    auto queue = clock.makeQueue("test.manual");
    std::vector<std::pair<int, int64_t>> seen;
    int64_t start = clock.uptimeNanos();
    queue->postAfter(300ms, [&] { seen.push_back({3, clock.uptimeNanos() - start}); });
    queue->postAfter(100ms, [&] { seen.push_back({2, clock.uptimeNanos() - start}); });
    queue->post([&] { seen.push_back({1, clock.uptimeNanos() - start}); });
    EXPECT_TRUE(seen.empty());

    clock.advance(200ms);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(1, int64_t{0}));
    EXPECT_EQ(seen[1], std::make_pair(2, int64_t{100'000'000}));
    EXPECT_EQ(clock.uptimeNanos() - start, 200'000'000);

    clock.advance(100ms);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], std::make_pair(3, int64_t{300'000'000}));
    EXPECT_EQ(clock.pendingTasks(), 0u);
}

TEST(ManualQueue, TasksPostedByTasksForNowRunInTheSameStep) {
    ManualClock clock;
    auto queue = clock.makeQueue("test.chain");
    int depth = 0;
    std::function<void()> chain = [&] {
        EXPECT_TRUE(queue->isCurrent());
        if (++depth < 5) queue->post(chain);
    };
    queue->post(chain);
    clock.runUntilIdle();
    EXPECT_EQ(depth, 5);
    EXPECT_FALSE(queue->isCurrent());
}

}  // namespace
}  // namespace panelora
