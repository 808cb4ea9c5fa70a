// What the simulated tablet saw: counters, rates and latency over the whole run, and the final
// report's two renderings (text for people, JSON for scripts and tests).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "latency_stats.h"

namespace panelora::tabletsim {

struct Counters {
    uint64_t packets = 0;           // every packet received
    uint64_t bytes = 0;             // every byte received, headers included
    uint64_t videoBytes = 0;        // bytes of frame and config packets, headers included
    uint64_t frames = 0;            // frame packets received
    uint64_t keyFrames = 0;         // of which flagged as key frames
    uint64_t configs = 0;           // config packets
    uint64_t decoded = 0;           // pictures the decoder put out cleanly
    uint64_t corrupt = 0;           // frames the decoder rejected or flagged, or malformed packets
    uint64_t missingReference = 0;  // non-key frames skipped while no key frame had been decoded
    uint64_t pings = 0;
    uint64_t pongsSent = 0;
    uint64_t cursorPositions = 0;
    uint64_t cursorImages = 0;
    uint64_t inputsSent = 0;  // scripted touch, key and scroll packets
    uint64_t keyRequestsSent = 0;
    uint64_t stalls = 0;  // times reading was paused (--stall-at)

    Counters& operator+=(const Counters& o);
};

struct Report {
    Counters totals;
    uint64_t connections = 0;
    double runSeconds = 0;     // from listening to the end
    double streamSeconds = 0;  // per connection from its first frame to its end, summed
    LatencySummary latency;    // decode finished minus ptsMicros, over every decoded picture
    uint64_t violationCount = 0;
    std::vector<std::string> violations;  // the first ones, with connection and packet number
    int lastWidth = 0;                    // the last decoded picture's size, 0 when none
    int lastHeight = 0;
    std::optional<std::string> pngPath;   // where the last picture was saved
    std::optional<std::string> pngError;  // why it was not
    std::string endReason;                // "duration", "connections", "signal", "violation", …

    // Decoded pictures per second of streaming, and megabits of video per second.
    double fps() const;
    double mbps() const;
    // Frames received but not shown: corrupt plus missing-reference frames.
    uint64_t dropped() const { return totals.corrupt + totals.missingReference; }

    std::string toText() const;
    std::string toJson() const;
};

}  // namespace panelora::tabletsim
