#include "support/serial_queue.h"

#include "support/main_queue.h"
#include "test_prelude.h"

namespace panelora::test {
namespace {

bool ranWithin(std::future<void> done, std::chrono::seconds limit = 5s) {
    return done.wait_for(limit) == std::future_status::ready;
}

// Tasks run one at a time, each producer's in order; a queue is current only inside its own tasks.
TEST(SerialQueue, RunsTasksOneAtATimeInEachProducersOrder) {
    auto queue = SerialQueue::create("test.order");
    auto other = SerialQueue::create("test.other");
    std::vector<std::vector<int>> seen(4);
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false}, notCurrent{false};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 500; ++i) {
                queue->post([&, p, i] {
                    if (running.fetch_add(1) != 0) overlapped = true;
                    if (!queue->isCurrent() || other->isCurrent()) notCurrent = true;
                    seen[p].push_back(i);
                    running.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : producers)
        t.join();
    queue->flush();
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), 500u);
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    }
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(notCurrent);
    EXPECT_FALSE(queue->isCurrent());
}

// Flushing from one of its own tasks returns at once.
TEST(SerialQueue, PostAfterRunsDelayedTasksInDeadlineOrder) {
    auto queue = SerialQueue::create("test.delayed");
    std::vector<int> seen;  // read once `done` is set
    std::promise<void> done;
    queue->postAfter(60ms, [&] {
        seen.push_back(3);
        done.set_value();
    });
    queue->postAfter(30ms, [&] { seen.push_back(2); });
    queue->postAfter(0ms, [&] {
        queue->flush();
        seen.push_back(1);
    });
    ASSERT_TRUE(ranWithin(done.get_future()));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
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
    EXPECT_TRUE(ranWithin(released.get_future()));
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
    EXPECT_TRUE(ranWithin(
        std::async(std::launch::async, [] { setMainQueue(SerialQueue::create("test.main-2")); })));
    EXPECT_TRUE(ranWithin(asked.get_future()));
    EXPECT_EQ(mainQueue()->label(), "test.main-2");
    setMainQueue(nullptr);
}

}  // namespace
}  // namespace panelora::test
