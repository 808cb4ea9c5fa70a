#include "app/supervised_session.h"

#include <mutex>

#include "session/session.h"

namespace panelora {
namespace {

// Session reads its onStats field on its statistics queue without a lock, and its timer is
// already running when start() returns; so the field is set once, before start(), to a forwarder
// whose target lives behind a mutex here and can be replaced at any time.
struct StatsSlot {
    std::mutex mutex;
    std::function<void(const SessionStats&)> handler;  // guarded by mutex

    void forward(const SessionStats& stats) {
        std::function<void(const SessionStats&)> target;
        {
            std::lock_guard lock(mutex);
            target = handler;
        }
        if (target) target(stats);  // never under the lock
    }
};

class RealSupervisedSession final : public SupervisedSession {
  public:
    explicit RealSupervisedSession(std::shared_ptr<Session> session)
        : session_(std::move(session)), stats_(std::make_shared<StatsSlot>()) {
        std::weak_ptr<StatsSlot> slot = stats_;
        session_->onStats = [slot](const SessionStats& stats) {
            if (auto target = slot.lock()) target->forward(stats);
        };
    }

    ~RealSupervisedSession() override {
        // A session dropped without an end would keep its virtual display.
        session_->stop();
    }

    void setOnEnded(std::function<void()> handler) override {
        session_->onEnded = std::move(handler);
    }

    void setOnStats(std::function<void(const SessionStats&)> handler) override {
        std::lock_guard lock(stats_->mutex);
        stats_->handler = std::move(handler);
    }

    std::optional<std::string> start(bool preferSmooth, std::optional<double> scale) override {
        auto error = session_->start(preferSmooth, scale);
        if (!error) return std::nullopt;
        return error->description();
    }

    void stop() override { session_->stop(); }
    void moveDisplay(DisplayArrangement::Side side) override { session_->moveDisplay(side); }
    StreamProfile profile() const override { return session_->profile(); }

  private:
    const std::shared_ptr<Session> session_;
    const std::shared_ptr<StatsSlot> stats_;
};

}  // namespace

SessionFactory sessionFactory(std::function<SessionEnvironment()> environment) {
    return [environment = std::move(environment)](int fd) -> std::shared_ptr<SupervisedSession> {
        return std::make_shared<RealSupervisedSession>(Session::create(fd, environment()));
    };
}

}  // namespace panelora
