#include "platform/linux/x11/x11_connection_pool.h"

#include "support/log.h"

namespace panelora {

std::shared_ptr<X11ConnectionPool> X11ConnectionPool::create(std::string displayName) {
    return std::shared_ptr<X11ConnectionPool>(new X11ConnectionPool(std::move(displayName)));
}

X11ConnectionPool::Lease& X11ConnectionPool::Lease::operator=(Lease&& other) noexcept {
    if (this != &other) {
        giveBack();
        pool_ = std::move(other.pool_);
        connection_ = std::move(other.connection_);
    }
    return *this;
}

X11ConnectionPool::Lease::~Lease() {
    giveBack();
}

void X11ConnectionPool::Lease::giveBack() {
    if (pool_ && connection_) pool_->giveBack(std::move(connection_));
    pool_.reset();
    connection_.reset();
}

X11ConnectionPool::Lease X11ConnectionPool::acquire() {
    std::unique_ptr<X11Connection> connection;
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            connection = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!connection) connection = openDedicated();
    if (!connection) return Lease();
    return Lease(shared_from_this(), std::move(connection));
}

std::unique_ptr<X11Connection> X11ConnectionPool::openDedicated(std::string* why) const {
    std::string reason;
    auto connection = X11Connection::open(displayName_, &reason);
    if (!connection) {
        log::get("x11input")->warn("{}", reason);
        if (why) *why = reason;
    }
    return connection;
}

void X11ConnectionPool::giveBack(std::unique_ptr<X11Connection> connection) {
    if (connection->broken()) return;  // closed here, outside the lock
    std::unique_ptr<X11Connection> surplus;
    {
        std::lock_guard lock(mutex_);
        if (idle_.size() < maxIdle) {
            idle_.push_back(std::move(connection));
        } else {
            surplus = std::move(connection);
        }
    }
}

}  // namespace panelora
