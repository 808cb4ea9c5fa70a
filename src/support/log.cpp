#include "support/log.h"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <syslog.h>

#include <map>
#include <mutex>
#include <vector>

#include "support/app_info.h"

namespace panelora::log {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<spdlog::sink_ptr> sinks;
    // Sinks added or replaced later go behind these: a logger's own sink list must not change
    // while other threads log through it, and a distributing sink has a lock of its own.
    std::shared_ptr<spdlog::sinks::dist_sink_mt> system =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::shared_ptr<spdlog::sinks::dist_sink_mt> extra =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;

    Registry() {
        auto console = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        console->set_pattern("%Y-%m-%d %H:%M:%S.%e %n %l: %v");
        sinks.push_back(console);
        auto syslog = std::make_shared<spdlog::sinks::syslog_sink_mt>(kAppIdentifier, LOG_PID,
                                                                      LOG_USER, false);
        syslog->set_pattern("[%n] %v");
        system->add_sink(syslog);
        sinks.push_back(system);
        sinks.push_back(extra);
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
    registry().extra->add_sink(std::move(sink));
}

void removeSink(const spdlog::sink_ptr& sink) {
    registry().extra->remove_sink(sink);
}

void setSystemSink(spdlog::sink_ptr sink) {
    registry().system->set_sinks({std::move(sink)});
}

}  // namespace panelora::log
