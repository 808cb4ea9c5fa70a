// Environment variables set (or unset) for a test's duration; the old values come back after.
#pragma once

#include <stdlib.h>

#include <map>
#include <optional>
#include <string>

namespace panelora::test {

class ScopedEnvironment {
  public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_)
            apply(name, value);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // Nothing unsets the variable.
    void set(const std::string& name, const std::optional<std::string>& value) {
        if (!saved_.count(name)) {
            const char* old = getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        apply(name, value);
    }

  private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace panelora::test
