#include "display/reconfiguration_callbacks.h"

#include "support/main_queue.h"

namespace panelora {

ReconfigurationCallbacks::Token ReconfigurationCallbacks::add(Callback callback) {
    std::lock_guard lock(shared_->mutex);
    const Token token = shared_->nextToken++;
    shared_->callbacks[token] = std::make_shared<Callback>(std::move(callback));
    return token;
}

void ReconfigurationCallbacks::remove(Token token) {
    std::shared_ptr<Callback> removed;  // destroyed outside the lock
    std::lock_guard lock(shared_->mutex);
    auto found = shared_->callbacks.find(token);
    if (found == shared_->callbacks.end()) return;
    removed = std::move(found->second);
    shared_->callbacks.erase(found);
}

void ReconfigurationCallbacks::deliver(std::vector<std::pair<DisplayID, uint32_t>> changes) const {
    if (changes.empty()) return;
    std::weak_ptr<Shared> weakShared = shared_;
    mainQueue()->post([weakShared, changes = std::move(changes)] {
        auto shared = weakShared.lock();
        if (!shared) return;
        std::vector<Token> tokens;
        {
            std::lock_guard lock(shared->mutex);
            for (const auto& [token, callback] : shared->callbacks)
                tokens.push_back(token);
        }
        for (const auto& [display, flags] : changes) {
            for (Token token : tokens) {
                std::shared_ptr<Callback> callback;
                {
                    std::lock_guard lock(shared->mutex);
                    auto found = shared->callbacks.find(token);
                    if (found != shared->callbacks.end()) callback = found->second;
                }
                // Looked up again for every call: one removed meanwhile is not called.
                if (callback) (*callback)(display, flags);
            }
        }
    });
}

}  // namespace panelora
