#include "app/supervised_session.h"

#include "session/session.h"

namespace panelora {
namespace {

class RealSupervisedSession final : public SupervisedSession {
  public:
    explicit RealSupervisedSession(std::shared_ptr<Session> session)
        : session_(std::move(session)) {}

    ~RealSupervisedSession() override {
        // A session dropped without an end would keep its virtual display.
        session_->stop();
    }

    void setOnEnded(std::function<void()> handler) override {
        session_->setOnEnded(std::move(handler));
    }

    void setOnStats(std::function<void(const SessionStats&)> handler) override {
        session_->setOnStats(std::move(handler));
    }

    std::optional<std::string> start(bool preferSmooth, std::optional<double> scale) override {
        auto error = session_->start(preferSmooth, scale);
        if (!error) return std::nullopt;
        return error->description();
    }

    void stop() override { session_->stop(); }
    bool hasEnded() const override { return session_->hasEnded(); }
    void moveDisplay(DisplayArrangement::Side side) override { session_->moveDisplay(side); }
    StreamProfile profile() const override { return session_->profile(); }

  private:
    const std::shared_ptr<Session> session_;
};

}  // namespace

SessionFactory sessionFactory(std::function<SessionEnvironment()> environment) {
    return [environment = std::move(environment)](int fd) -> std::shared_ptr<SupervisedSession> {
        return std::make_shared<RealSupervisedSession>(Session::create(fd, environment()));
    };
}

}  // namespace panelora
