#include "platform/macos/portable/callback_registry.h"

#include <vector>

namespace panelora {

CallbackRegistry::Token CallbackRegistry::add(Callback callback) {
    std::lock_guard lock(mutex_);
    const Token token = next_++;
    callbacks_.emplace(token, std::move(callback));
    return token;
}

void CallbackRegistry::remove(Token token) {
    std::lock_guard lock(mutex_);
    callbacks_.erase(token);
}

void CallbackRegistry::notify(DisplayID display, uint32_t flags) {
    std::vector<Token> tokens;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : callbacks_)
            tokens.push_back(entry.first);
    }
    for (Token token : tokens) {
        Callback callback;
        {
            std::lock_guard lock(mutex_);
            auto found = callbacks_.find(token);
            if (found == callbacks_.end()) continue;
            callback = found->second;
        }
        callback(display, flags);
    }
}

bool CallbackRegistry::empty() const {
    std::lock_guard lock(mutex_);
    return callbacks_.empty();
}

}  // namespace panelora
