// The tray's main queue on a real Qt event loop (QCoreApplication needs no display).

#include <QCoreApplication>
#include <QTimer>

#include <numeric>

#include "qt_main_queue.h"
#include "test_prelude.h"

namespace panelora {
namespace {

class QtMainQueueTest : public ::testing::Test {
  protected:
    int argc = 1;
    char name[8] = "test";
    char* argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
    std::shared_ptr<QtMainQueue> queue = std::make_shared<QtMainQueue>();

    // Runs the event loop until `done` or 5 s.
    void runUntil(const std::function<bool()>& done) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &app, [&] {
            if (done()) app.quit();
        });
        poll.start(5);
        QTimer::singleShot(5000, &app, [&] { app.quit(); });
        app.exec();
    }
};

// Each thread posts its tasks and then flushes, which returns once they have run.
TEST_F(QtMainQueueTest, TasksFromManyThreadsRunOnTheLoopInOrderAndFlushWaitsForThem) {
    constexpr int perThread = 200;
    std::vector<int> seen[2];
    std::atomic<int> ran[2] = {0, 0}, flushed{0};
    std::atomic<bool> onLoopThread{true}, flushWaited{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                queue->post([&, t, i] {
                    if (!queue->isCurrent()) onLoopThread = false;
                    seen[t].push_back(i);
                    ++ran[t];
                });
            }
            queue->flush();
            if (ran[t] != perThread) flushWaited = false;
            ++flushed;
        });
    }
    runUntil([&] { return flushed == 2; });
    for (auto& thread : threads)
        thread.join();
    EXPECT_TRUE(onLoopThread);
    EXPECT_TRUE(flushWaited);
    std::vector<int> inOrder(perThread);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(seen[0], inOrder);
    EXPECT_EQ(seen[1], inOrder);
}

TEST_F(QtMainQueueTest, DelayedTasksRunInDeadlineOrderAndNotEarlyAndAClosedQueueDropsTasks) {
    std::vector<int> order;
    const int64_t posted = queue->clock().uptimeNanos();
    int64_t firstRan = 0;
    queue->postAfter(60ms, [&] { order.push_back(60); });
    queue->postAfter(20ms, [&] {
        firstRan = queue->clock().uptimeNanos();
        order.push_back(20);
    });
    queue->postAfter(0ms, [&] { order.push_back(0); });
    runUntil([&] { return order.size() == 3; });
    EXPECT_EQ(order, (std::vector<int>{0, 20, 60}));
    EXPECT_GE(firstRan - posted, std::chrono::nanoseconds(20ms).count());

    queue->close();
    queue->post([&] { order.push_back(1); });
    queue->postAfter(1ms, [&] { order.push_back(2); });
    queue->flush();  // returns: nothing will run
    int spins = 0;
    runUntil([&] { return ++spins > 10; });
    EXPECT_EQ(order.size(), 3u);
}

}  // namespace
}  // namespace panelora
