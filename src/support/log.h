// Logging: one spdlog logger per category ("stats", "session", …), writing to stderr and to the
// system log under the application's identifier: syslog, and so the journal, where the per-second
// statistics ("stats") arrive only from warnings up, unless the platform puts its own sink in place
// (the unified log on macOS). Loggers are created on first use and shared; all of this is
// thread-safe.
//
// Messages are always passed as an argument ("{}", text), never as the format itself, so text
// from outside can never be taken for a format.
#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/sink.h>

#include <memory>
#include <string>

namespace panelora::log {

std::shared_ptr<spdlog::logger> get(const std::string& category);

// Adds a sink to every logger, present and future (tests collect lines with it).
void addSink(spdlog::sink_ptr sink);
void removeSink(const spdlog::sink_ptr& sink);

// Replaces the system log sink (syslog) of every logger, present and future. The new sink gets
// every category at every level: a log that keeps info lines in memory only, as the unified log
// does, needs no quieting.
void setSystemSink(spdlog::sink_ptr sink);

}  // namespace panelora::log
