#include "support/log.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <syslog.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "support/app_info.h"

namespace panelora::log {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<spdlog::sink_ptr> sinks;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;

    Registry() {
        auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        console->set_pattern("%Y-%m-%d %H:%M:%S.%e %n %l: %v");
        sinks.push_back(console);
        auto system = std::make_shared<spdlog::sinks::syslog_sink_mt>(kAppIdentifier, LOG_PID,
                                                                      LOG_USER, false);
        system->set_pattern("[%n] %v");
        sinks.push_back(system);
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
    auto logger = std::make_shared<spdlog::logger>(category, r.sinks.begin(), r.sinks.end());
    logger->set_level(spdlog::level::info);
    logger->flush_on(spdlog::level::info);
    r.loggers.emplace(category, logger);
    return logger;
}

void addSink(spdlog::sink_ptr sink) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.sinks.push_back(sink);
    for (auto& [name, logger] : r.loggers) logger->sinks().push_back(sink);
}

void removeSink(const spdlog::sink_ptr& sink) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase(r.sinks, sink);
    for (auto& [name, logger] : r.loggers) std::erase(logger->sinks(), sink);
}

}  // namespace panelora::log
