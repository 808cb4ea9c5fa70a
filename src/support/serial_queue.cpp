#include "support/serial_queue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "support/posix_platform.h"

namespace panelora {

// The io_context and everything the tasks need; shared between the owning queue object and the
// thread that runs it, so that a detached runner can finish after its queue object is gone.
struct RunLoopQueue::Impl {
    using Timer = asio::steady_timer;

    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::mutex mutex;
    bool closing = false;                   // guarded by mutex
    std::unordered_set<Timer*> timers;      // delayed tasks not yet due; guarded by mutex
    std::atomic<std::thread::id> runner{};  // the thread inside run()

    bool isCurrent() const { return runner.load() == std::this_thread::get_id(); }

    void post(SerialQueue::Task task) {
        std::lock_guard lock(mutex);
        if (closing) return;
        asio::post(io, std::move(task));
    }

    void postAfter(const std::shared_ptr<Impl>& self, Duration delay, SerialQueue::Task task) {
        if (delay <= Duration::zero()) {
            post(std::move(task));
            return;
        }
        auto timer = std::make_shared<Timer>(io, delay);
        {
            std::lock_guard lock(mutex);
            if (closing) return;
            timers.insert(timer.get());
        }
        std::weak_ptr<Impl> weak = self;
        timer->async_wait([weak, timer, task = std::move(task)](const std::error_code& ec) {
            auto impl = weak.lock();
            if (!impl) return;
            {
                std::lock_guard lock(impl->mutex);
                impl->timers.erase(timer.get());
            }
            if (!ec) task();
        });
    }

    // Posted as the last task: delayed tasks are cancelled on the runner (asio timers are not
    // safe to cancel from another thread), then run() returns once the queue is empty.
    void close() {
        {
            std::lock_guard lock(mutex);
            if (closing) return;
            closing = true;
        }
        asio::post(io, [this] {
            std::unordered_set<Timer*> pending;
            {
                std::lock_guard lock(mutex);
                pending.swap(timers);
            }
            for (Timer* timer : pending)
                timer->cancel();
            work.reset();
        });
    }

    void run() {
        runner.store(std::this_thread::get_id());
        io.run();
        runner.store(std::thread::id{});
    }

    void flush() {
        if (isCurrent()) return;
        std::promise<void> done;
        auto future = done.get_future();
        {
            std::lock_guard lock(mutex);
            if (closing) return;
            asio::post(io, [&done] { done.set_value(); });
        }
        future.wait();
    }
};

namespace {

class ThreadedQueue final : public SerialQueue {
  public:
    ThreadedQueue(std::string label, QueuePriority priority)
        : SerialQueue(std::move(label)), impl_(std::make_shared<RunLoopQueue::Impl>()) {
        thread_ = std::thread([impl = impl_, name = this->label(), priority] {
            posix::nameCurrentThread(name);
            posix::prioritizeCurrentThread(priority);
            impl->run();
        });
    }

    ~ThreadedQueue() override {
        impl_->close();
        if (impl_->isCurrent()) {
            thread_.detach();  // the last owner let go from one of our own tasks
        } else {
            thread_.join();
        }
    }

    const Clock& clock() const override { return Clock::system(); }
    void post(Task task) override { impl_->post(std::move(task)); }
    void postAfter(Duration delay, Task task) override {
        impl_->postAfter(impl_, delay, std::move(task));
    }
    bool isCurrent() const override { return impl_->isCurrent(); }
    void flush() override { impl_->flush(); }

  private:
    std::shared_ptr<RunLoopQueue::Impl> impl_;
    std::thread thread_;
};

}  // namespace

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label, QueuePriority priority) {
    return std::make_shared<ThreadedQueue>(std::move(label), priority);
}

RunLoopQueue::RunLoopQueue(std::string label)
    : SerialQueue(std::move(label)), impl_(std::make_shared<Impl>()) {}

RunLoopQueue::~RunLoopQueue() {
    impl_->close();
}

const Clock& RunLoopQueue::clock() const {
    return Clock::system();
}
void RunLoopQueue::post(Task task) {
    impl_->post(std::move(task));
}
void RunLoopQueue::postAfter(Duration delay, Task task) {
    impl_->postAfter(impl_, delay, std::move(task));
}
bool RunLoopQueue::isCurrent() const {
    return impl_->isCurrent();
}
void RunLoopQueue::flush() {
    impl_->flush();
}
void RunLoopQueue::run() {
    impl_->run();
}
void RunLoopQueue::stop() {
    impl_->io.stop();
}

}  // namespace panelora
