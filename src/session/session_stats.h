// One second of streaming, as the statistics tick reports it to the menu and the log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace panelora {

struct SessionStats {
    int64_t fps = 0;
    double mbps = 0;
    double encodeAvgMs = 0;
    double encodeMaxMs = 0;
    std::optional<double> linkAvgMs;
    std::optional<double> linkMaxMs;
    int64_t dropped = 0;
    int64_t backlogKB = 0;

    // "60 fps · 12 Mbps · encode 4 ms (max 10) · link 3 ms (max 5) · dropped 5"
    std::string summary() const;
    friend bool operator==(const SessionStats&, const SessionStats&) = default;
};

}  // namespace panelora
