// Collects the lines logged through panelora's loggers while it lives.
#pragma once

#include <spdlog/sinks/ringbuffer_sink.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.h"

namespace panelora::test {

class LogCapture {
  public:
    explicit LogCapture(const std::string& pattern = "%n|%l|%v", size_t capacity = 64)
        : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(capacity)) {
        sink_->set_pattern(pattern);
        log::addSink(sink_);
    }
    ~LogCapture() { log::removeSink(sink_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Oldest first, without their line feeds.
    std::vector<std::string> lines() const {
        auto lines = sink_->last_formatted();
        for (auto& line : lines) {
            if (!line.empty() && line.back() == '\n') line.pop_back();
        }
        return lines;
    }
    bool contains(std::string_view text) const {
        for (const auto& line : lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

  private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
};

}  // namespace panelora::test
