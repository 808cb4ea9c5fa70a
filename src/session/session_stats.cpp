#include "session/session_stats.h"

#include <cstdio>

namespace panelora {
namespace {

std::string rounded(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

}  // namespace

std::string SessionStats::summary() const {
    std::string text = std::to_string(fps) + " fps · " + rounded(mbps) + " Mbps · encode " +
                       rounded(encodeAvgMs) + " ms (max " + rounded(encodeMaxMs) + ")";
    if (linkAvgMs && linkMaxMs) {
        text += " · link " + rounded(*linkAvgMs) + " ms (max " + rounded(*linkMaxMs) + ")";
    }
    if (dropped >= 1) text += " · dropped " + std::to_string(dropped);
    return text;
}

}  // namespace panelora
