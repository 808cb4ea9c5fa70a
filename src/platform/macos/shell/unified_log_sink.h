// The system log on macOS: an spdlog sink writing each message to the unified log, with the
// application's bundle identifier as subsystem and the logger's name ("stats", "session", …) as
// category. Messages are public (they hold no personal data) and are passed as an argument of a
// literal format, never as the format.
//
// Thread-safe; one os_log handle per category, made on first use and kept.
#pragma once

#include <spdlog/sinks/sink.h>

#include <memory>

namespace panelora {

spdlog::sink_ptr makeUnifiedLogSink();

}  // namespace panelora
