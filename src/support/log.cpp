#include "support/log.h"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <syslog.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "support/app_info.h"

namespace panelora::log {
namespace {

// Categories whose info lines come every second: the system log (the journal) keeps only their
// warnings and errors, 3,600 lines an hour otherwise; standard error and extra sinks get them all.
constexpr std::string_view kChattyCategories[] = {"stats"};

struct Registry {
    std::mutex mutex;
    std::vector<spdlog::sink_ptr> sinks;
    std::vector<spdlog::sink_ptr> quietSinks;  // for kChattyCategories
    // Sinks added or replaced later go behind these: a logger's own sink list must not change
    // while other threads log through it, and a distributing sink has a lock of its own.
    std::shared_ptr<spdlog::sinks::dist_sink_mt> system =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<spdlog::sinks::dist_sink_mt> quietSystem =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<spdlog::sinks::dist_sink_mt> extra =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;

    Registry() {
        auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        console->set_pattern("%Y-%m-%d %H:%M:%S.%e %n %l: %v");
        auto syslog = std::make_shared<spdlog::sinks::syslog_sink_mt>(kAppIdentifier, LOG_PID,
                                                                      LOG_USER, false);
        auto quietSyslog = std::make_shared<spdlog::sinks::syslog_sink_mt>(
            kAppIdentifier, LOG_PID, LOG_USER, false);
        quietSyslog->set_level(spdlog::level::warn);
        system->add_sink(syslog);
        quietSystem->add_sink(quietSyslog);
        sinks = {console, system, extra};
        quietSinks = {console, quietSystem, extra};
    }
};

Registry& registry() {
    static Registry* instance = new Registry;  // never destroyed: loggers outlive static teardown
    return *instance;
}

}  // namespace

std::shared_ptr<spdlog::logger> get(const std::string& category) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.loggers.find(category);
    if (found != r.loggers.end()) return found->second;
    const bool chatty = std::find(std::begin(kChattyCategories), std::end(kChattyCategories),
                                  category) != std::end(kChattyCategories);
    const auto& sinks = chatty ? r.quietSinks : r.sinks;
    auto logger = std::make_shared<spdlog::logger>(category, sinks.begin(), sinks.end());
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::info);
    r.loggers.emplace(category, logger);
    return logger;
}

void addSink(spdlog::sink_ptr sink) {
    registry().extra->add_sink(std::move(sink));
}

void removeSink(const spdlog::sink_ptr& sink) {
    registry().extra->remove_sink(sink);
}

void setSystemSink(spdlog::sink_ptr sink) {
    registry().system->set_sinks({sink});
    registry().quietSystem->set_sinks({std::move(sink)});
}

}  // namespace panelora::log
