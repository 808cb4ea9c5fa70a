#include "platform/macos/shell/unified_log_sink.h"

#include <os/log.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/macos/portable/unified_log.h"
#include "support/app_info.h"

namespace panelora {
namespace {

static_assert(unifiedlog::kDefault == OS_LOG_TYPE_DEFAULT);
static_assert(unifiedlog::kInfo == OS_LOG_TYPE_INFO);
static_assert(unifiedlog::kDebug == OS_LOG_TYPE_DEBUG);
static_assert(unifiedlog::kError == OS_LOG_TYPE_ERROR);
static_assert(unifiedlog::kFault == OS_LOG_TYPE_FAULT);

class UnifiedLogSink final : public spdlog::sinks::sink {
  public:
    void log(const spdlog::details::log_msg& message) override {
        if (!should_log(message.level)) return;
        const os_log_t handle =
            logFor(std::string(message.logger_name.data(), message.logger_name.size()));
        const std::string text(message.payload.data(), message.payload.size());
        os_log_with_type(handle, static_cast<os_log_type_t>(unifiedlog::typeFor(message.level)),
                         "%{public}s", text.c_str());
    }
    void flush() override {}
    // The unified log records time, process and level itself: only the message is written.
    void set_pattern(const std::string&) override {}
    void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

  private:
    os_log_t logFor(const std::string& category) {
        std::lock_guard lock(mutex_);
        auto found = logs_.find(category);
        if (found != logs_.end()) return found->second;
        os_log_t handle = os_log_create(kAppIdentifier, category.c_str());
        logs_.emplace(category, handle);
        return handle;
    }

    std::mutex mutex_;
    std::map<std::string, os_log_t> logs_;  // guarded; handles live as long as the sink
};

}  // namespace

spdlog::sink_ptr makeUnifiedLogSink() {
    return std::make_shared<UnifiedLogSink>();
}

}  // namespace panelora
