#include "app/controller.h"

#include <mutex>
#include <stdexcept>
#include <utility>

#include "support/log.h"
#include "support/main_queue.h"

namespace panelora {
namespace {

std::mutex sharedMutex;
std::function<AppEnvironment()>& sharedMaker() {
    static auto* maker = new std::function<AppEnvironment()>;  // outlives static teardown
    return *maker;
}
std::shared_ptr<Controller>& sharedInstance() {
    static auto* instance = new std::shared_ptr<Controller>;
    return *instance;
}

std::shared_ptr<spdlog::logger> logger() {
    return log::get("app");
}

}  // namespace

std::shared_ptr<Controller> Controller::create(AppEnvironment environment) {
    if (!environment.permissions)
        throw std::invalid_argument("Controller needs a permissions backend");
    if (!environment.makeSession) throw std::invalid_argument("Controller needs a session factory");
    if (!environment.devices) environment.devices = DeviceSource::usbmux();
    if (!environment.settings) environment.settings = SettingsStore::standard();
    if (!environment.mainQueue) environment.mainQueue = mainQueue();
    if (!environment.background) {
        environment.background = SerialQueue::create("app.blocking", QueuePriority::userInitiated);
    }
    if (!environment.clock) environment.clock = &environment.mainQueue->clock();
    return std::shared_ptr<Controller>(new Controller(std::move(environment)));
}

std::shared_ptr<Controller> Controller::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedInstance()) {
        AppEnvironment environment = sharedMaker() ? sharedMaker()() : AppEnvironment{};
        sharedInstance() = create(std::move(environment));
    }
    return sharedInstance();
}

bool Controller::configureShared(std::function<AppEnvironment()> makeEnvironment) {
    std::lock_guard lock(sharedMutex);
    if (sharedInstance()) return false;
    sharedMaker() = std::move(makeEnvironment);
    return true;
}

Controller::Controller(AppEnvironment environment)
    : env_(std::move(environment)),
      screenRecordingAllowed_(env_.permissions->screenRecordingPreflight()),
      accessibilityAllowed_(env_.permissions->accessibilityTrusted(false)),
      permissionTexts_(env_.permissions->texts()),
      space_(env_.settings->space().value_or(0)),
      preferSmooth_(env_.settings->preferSmooth().value_or(false)) {
    if (env_.applyCommandActsAsControl) {
        commandActsAsControl_ = env_.settings->commandActsAsControl().value_or(true);
        env_.applyCommandActsAsControl(*commandActsAsControl_);
    }
}

Controller::~Controller() {
    if (watch_) watch_->cancel();
}

// ---- Change notification ----

template <class Field>
void Controller::assign(Field& field, Field value) {
    if (field == value) return;
    field = std::move(value);
    changed();
}

void Controller::changed() {
    if (notifyPending_) return;
    notifyPending_ = true;
    std::weak_ptr<Controller> weak = weak_from_this();
    env_.mainQueue->post([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->notifyPending_ = false;
        // A copy: an observer may add or remove observers.
        auto observers = self->observers_;
        for (auto& [token, observer] : observers) {
            if (self->observers_.count(token)) observer();
        }
    });
}

Controller::ObserverToken Controller::addObserver(std::function<void()> observer) {
    ObserverToken token = nextToken_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void Controller::removeObserver(ObserverToken token) {
    observers_.erase(token);
}

// ---- Settings ----

void Controller::setSpace(int64_t value) {
    if (value == space_) return;
    assign(space_, value);
    env_.settings->setSpace(value);
    stopSession();
}

void Controller::setPreferSmooth(bool value) {
    if (value == preferSmooth_) return;
    assign(preferSmooth_, value);
    env_.settings->setPreferSmooth(value);
    stopSession();
}

void Controller::setCommandActsAsControl(bool value) {
    if (!commandActsAsControl_ || value == *commandActsAsControl_) return;
    assign(commandActsAsControl_, std::optional<bool>(value));
    env_.settings->setCommandActsAsControl(value);
    env_.applyCommandActsAsControl(value);
}

std::optional<double> Controller::scale() const {
    if (space_ == 0) return std::nullopt;
    return static_cast<double>(space_) / 100.0;
}

int64_t Controller::now() const {
    return env_.clock->uptimeNanos();
}

// ---- Watch loop ----

void Controller::start() {
    if (started_ || shutDown_) return;
    started_ = true;
    if (!env_.permissions->screenRecordingPreflight()) env_.permissions->requestScreenRecording();
    env_.permissions->accessibilityTrusted(true);

    std::weak_ptr<Controller> weak = weak_from_this();
    watch_ = TimerSource::create(env_.mainQueue, [weak] {
        if (auto self = weak.lock()) self->tick();
    });
    watch_->schedule(Duration::zero(), watchInterval);
    watch_->resume();
}

void Controller::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (watch_) watch_->cancel();
    // stop() ends each at most once; the start still running fails and its result is dropped.
    if (auto starting = starting_) starting->stop();
    stopSession();
}

void Controller::tick() {
    if (shutDown_) return;
    refreshPermissions();
    if (!session_ && !attemptInProgress_) attemptConnection();
}

void Controller::refreshPermissions() {
    assign(accessibilityAllowed_, env_.permissions->accessibilityTrusted(false));
    assign(screenRecordingAllowed_, env_.permissions->screenRecordingPreflight());
    assign(permissionTexts_, env_.permissions->texts());
}

template <class Result>
void Controller::inBackground(std::function<Result()> work,
                              std::function<void(Controller&, Result)> done) {
    std::weak_ptr<Controller> weak = weak_from_this();
    auto main = env_.mainQueue;
    env_.background->post([weak, main, work = std::move(work), done = std::move(done)] {
        if (weak.expired()) return;
        auto result = std::make_shared<Result>(work());
        main->post([weak, result, done] {
            if (auto self = weak.lock()) done(*self, std::move(*result));
        });
    });
}

void Controller::attemptConnection() {
    if (attemptInProgress_ || shutDown_) return;
    bool allowed = env_.permissions->screenRecordingPreflight();
    assign(screenRecordingAllowed_, allowed);
    if (!allowed) {
        assign(permissionTexts_, env_.permissions->texts());
        assign(status_, permissionTexts_.blockedStatus);
        return;
    }
    if (now() < retryNotBefore_) return;

    attemptInProgress_ = true;
    auto devices = env_.devices;
    inBackground<std::vector<USBMux::Device>>(
        [devices] { return devices->listDevices(); },
        [](Controller& self, std::vector<USBMux::Device> list) {
            self.devicesListed(std::move(list));
        });
}

void Controller::finishAttempt() {
    attemptInProgress_ = false;
}

void Controller::devicesListed(std::vector<USBMux::Device> devices) {
    if (shutDown_) return finishAttempt();
    if (devices.empty()) {
        assign(status_, std::string(noDeviceText));
        return finishAttempt();
    }
    tryDevice(std::make_shared<const std::vector<USBMux::Device>>(std::move(devices)), 0);
}

void Controller::tryDevice(std::shared_ptr<const std::vector<USBMux::Device>> devices,
                           size_t index) {
    if (shutDown_ || index >= devices->size()) return finishAttempt();
    auto source = env_.devices;
    int64_t id = (*devices)[index].id;
    // The socket travels in an owner, so that it is closed when the result is dropped.
    inBackground<std::shared_ptr<UniqueFd>>(
        [source, id] {
            auto fd = source->connect(id, tabletPort);
            return fd ? std::make_shared<UniqueFd>(*fd) : nullptr;
        },
        [devices, index](Controller& self, std::shared_ptr<UniqueFd> socket) {
            self.connected(devices, index, std::move(socket));
        });
}

void Controller::connected(std::shared_ptr<const std::vector<USBMux::Device>> devices, size_t index,
                           std::shared_ptr<UniqueFd> socket) {
    if (shutDown_) return finishAttempt();  // the owner closes the socket
    if (!socket || !socket->valid()) {
        assign(status_, std::string(noAppText));
        return tryDevice(std::move(devices), index + 1);
    }
    startSession(socket->release());
}

// ---- Session supervision ----

void Controller::startSession(int fd) {
    if (shutDown_ || session_ || starting_) {
        UniqueFd closeIt(fd);  // at most one session at a time
        if (!starting_) finishAttempt();
        return;
    }
    attemptInProgress_ = true;
    std::shared_ptr<SupervisedSession> session = env_.makeSession(fd);
    if (!session) {
        // The factory closed the socket. Back off as after a failed start.
        logger()->error("{}", "could not create a session");
        retryNotBefore_ = now() + startFailureBackoff.count();
        assign(status_, std::string("Error: Couldn't create the session"));
        return finishAttempt();
    }

    std::weak_ptr<Controller> weakSelf = weak_from_this();
    std::weak_ptr<SupervisedSession> weakSession = session;
    auto main = env_.mainQueue;
    session->setOnEnded([weakSelf, weakSession, main] {
        main->post([weakSelf, weakSession] {
            auto self = weakSelf.lock();
            auto ended = weakSession.lock();
            if (self && ended) self->handleSessionEnded(ended);
        });
    });

    const bool smooth = preferSmooth_;
    const std::optional<double> chosenScale = scale();
    starting_ = session;
    inBackground<std::optional<std::string>>(
        [session, smooth, chosenScale] { return session->start(smooth, chosenScale); },
        [session, smooth, chosenScale](Controller& self, std::optional<std::string> error) {
            self.sessionStartFinished(session, smooth, chosenScale, std::move(error));
        });
}

void Controller::sessionStartFinished(const std::shared_ptr<SupervisedSession>& session,
                                      bool preferSmooth, std::optional<double> scale,
                                      std::optional<std::string> error) {
    bool endedFirst = false;
    if (starting_ == session) {
        starting_.reset();
        endedFirst = std::exchange(startingEnded_, false);
    }
    if (shutDown_) {
        session->stop();
        return finishAttempt();
    }
    if (error) {
        session->stop();
        retryNotBefore_ = now() + startFailureBackoff.count();
        assign(status_, "Error: " + *error);
        return finishAttempt();
    }
    if (endedFirst || session->hasEnded()) {
        // The tablet went away while start() was finishing: its end was reported before this
        // result (and could not be matched then), or it happened as start() returned. A stored
        // ended session would never end again.
        session->stop();
        enterDisconnected();
        return finishAttempt();
    }

    session_ = session;
    assign(canArrange_, true);
    assign(status_, "Streaming " + session->profile().summary());
    std::weak_ptr<Controller> weakSelf = weak_from_this();
    std::weak_ptr<SupervisedSession> weakSession = session;
    auto main = env_.mainQueue;
    session->setOnStats([weakSelf, weakSession, main](const SessionStats& stats) {
        main->post([weakSelf, weakSession, stats] {
            auto self = weakSelf.lock();
            auto from = weakSession.lock();
            if (self && from) self->handleStats(stats, from);
        });
    });
    finishAttempt();

    // A setting chosen while the start ran would otherwise wait for the next disconnection while
    // the menu already shows it: restart now, as a change during streaming does.
    if (preferSmooth != preferSmooth_ || scale != this->scale()) stopSession();
}

void Controller::handleSessionEnded(const std::shared_ptr<SupervisedSession>& session) {
    if (session == starting_) {
        startingEnded_ = true;  // settled when its start result arrives
        return;
    }
    if (session_ != session) return;
    session_.reset();
    enterDisconnected();
}

void Controller::enterDisconnected() {
    assign(canArrange_, false);
    assign(statsLine_, std::string());
    retryNotBefore_ = now() + endedBackoff.count();
    assign(status_, std::string(disconnectedText));
}

void Controller::handleStats(const SessionStats& stats,
                             const std::shared_ptr<SupervisedSession>& session) {
    if (session_ != session) return;
    assign(statsLine_, stats.summary());
}

void Controller::move(DisplayArrangement::Side side) {
    if (session_) session_->moveDisplay(side);
}

void Controller::stopSession() {
    // A copy: stop() may end up dropping the stored session.
    if (auto session = session_) session->stop();
}

}  // namespace panelora
