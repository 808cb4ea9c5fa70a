#include "latency_stats.h"

#include <algorithm>
#include <cmath>

namespace panelora::tabletsim {

namespace {

double percentileOfSorted(const std::vector<int64_t>& sorted, double p) {
    const double clamped = std::clamp(p, 0.0, 100.0);
    const double rank = clamped / 100.0 * static_cast<double>(sorted.size() - 1);
    const size_t below = static_cast<size_t>(std::floor(rank));
    const size_t above = std::min(below + 1, sorted.size() - 1);
    const double fraction = rank - static_cast<double>(below);
    return static_cast<double>(sorted[below]) +
           fraction * static_cast<double>(sorted[above] - sorted[below]);
}

}  // namespace

void LatencyStats::merge(const LatencyStats& other) {
    samples_.insert(samples_.end(), other.samples_.begin(), other.samples_.end());
}

std::optional<double> LatencyStats::percentileMicros(double p) const {
    if (samples_.empty()) return std::nullopt;
    std::vector<int64_t> sorted = samples_;
    std::sort(sorted.begin(), sorted.end());
    return percentileOfSorted(sorted, p);
}

LatencySummary LatencyStats::summary() const {
    LatencySummary s;
    if (samples_.empty()) return s;
    std::vector<int64_t> sorted = samples_;
    std::sort(sorted.begin(), sorted.end());
    double sum = 0;
    for (int64_t v : sorted)
        sum += static_cast<double>(v);
    s.samples = sorted.size();
    s.medianMs = percentileOfSorted(sorted, 50) / 1000.0;
    s.p99Ms = percentileOfSorted(sorted, 99) / 1000.0;
    s.minMs = static_cast<double>(sorted.front()) / 1000.0;
    s.maxMs = static_cast<double>(sorted.back()) / 1000.0;
    s.meanMs = sum / static_cast<double>(sorted.size()) / 1000.0;
    return s;
}

}  // namespace panelora::tabletsim
