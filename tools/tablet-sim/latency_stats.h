// Latency samples in microseconds and their order statistics. Not thread-safe: one owner.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace panelora::tabletsim {

struct LatencySummary {
    uint64_t samples = 0;
    double medianMs = 0;
    double p99Ms = 0;
    double minMs = 0;
    double maxMs = 0;
    double meanMs = 0;

    bool operator==(const LatencySummary&) const = default;
};

class LatencyStats {
  public:
    // A sample may be negative when the host's time stamps are not on this machine's
    // CLOCK_MONOTONIC; it is kept as it is so the report shows it.
    void add(int64_t micros) { samples_.push_back(micros); }
    void clear() { samples_.clear(); }
    void merge(const LatencyStats& other);
    uint64_t count() const { return samples_.size(); }

    // The p-th percentile (0 to 100) by linear interpolation between the two closest ranks of
    // the sorted samples (the median of an even count is the mean of the middle two). Nothing
    // without samples.
    std::optional<double> percentileMicros(double p) const;

    // Every field 0 without samples.
    LatencySummary summary() const;

  private:
    std::vector<int64_t> samples_;
};

}  // namespace panelora::tabletsim
