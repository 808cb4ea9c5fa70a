#include "report.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace panelora::tabletsim {

Counters& Counters::operator+=(const Counters& o) {
    packets += o.packets;
    bytes += o.bytes;
    videoBytes += o.videoBytes;
    frames += o.frames;
    keyFrames += o.keyFrames;
    configs += o.configs;
    decoded += o.decoded;
    corrupt += o.corrupt;
    missingReference += o.missingReference;
    pings += o.pings;
    pongsSent += o.pongsSent;
    cursorPositions += o.cursorPositions;
    cursorImages += o.cursorImages;
    inputsSent += o.inputsSent;
    keyRequestsSent += o.keyRequestsSent;
    stalls += o.stalls;
    return *this;
}

double Report::fps() const {
    return streamSeconds > 0 ? static_cast<double>(totals.decoded) / streamSeconds : 0.0;
}

double Report::mbps() const {
    return streamSeconds > 0 ? static_cast<double>(totals.videoBytes) * 8.0 / 1e6 / streamSeconds
                             : 0.0;
}

std::string Report::toText() const {
    std::string out;
    char line[512];
    auto add = [&](const char* format, auto... args) {
        std::snprintf(line, sizeof line, format, args...);
        out += line;
    };
    using ull = unsigned long long;
    add("tablet-sim report (%s)\n", endReason.c_str());
    add("  connections   %llu, run %.1f s, streaming %.1f s\n", ull(connections), runSeconds,
        streamSeconds);
    add("  frames        %llu received (%llu key), %llu decoded, %llu configs\n",
        ull(totals.frames), ull(totals.keyFrames), ull(totals.decoded), ull(totals.configs));
    add("  dropped       %llu (corrupt %llu, missing reference %llu)\n", ull(dropped()),
        ull(totals.corrupt), ull(totals.missingReference));
    add("  rate          %.1f fps, %.2f Mbps\n", fps(), mbps());
    if (latency.samples > 0) {
        add("  latency       median %.2f ms, p99 %.2f ms (min %.2f, max %.2f, %llu samples)\n",
            latency.medianMs, latency.p99Ms, latency.minMs, latency.maxMs, ull(latency.samples));
    } else {
        add("  latency       no samples\n");
    }
    add("  control       %llu pings, %llu pongs sent, %llu cursor positions, %llu cursor images\n",
        ull(totals.pings), ull(totals.pongsSent), ull(totals.cursorPositions),
        ull(totals.cursorImages));
    add("  sent          %llu inputs, %llu key requests; %llu stalls\n", ull(totals.inputsSent),
        ull(totals.keyRequestsSent), ull(totals.stalls));
    add("  received      %llu packets, %llu bytes\n", ull(totals.packets), ull(totals.bytes));
    if (lastWidth > 0) add("  last picture  %dx%d\n", lastWidth, lastHeight);
    if (pngPath) add("  saved         %s\n", pngPath->c_str());
    if (pngError) add("  not saved     %s\n", pngError->c_str());
    add("  violations    %llu\n", ull(violationCount));
    for (const std::string& v : violations) {
        out += "    ";
        out += v;
        out += '\n';
    }
    return out;
}

std::string Report::toJson() const {
    nlohmann::json j;
    j["endReason"] = endReason;
    j["connections"] = connections;
    j["runSeconds"] = runSeconds;
    j["streamSeconds"] = streamSeconds;
    j["frames"] = {
        {"received", totals.frames},
        {"key", totals.keyFrames},
        {"decoded", totals.decoded},
        {"corrupt", totals.corrupt},
        {"missingReference", totals.missingReference},
        {"dropped", dropped()},
    };
    j["configs"] = totals.configs;
    j["fps"] = fps();
    j["mbps"] = mbps();
    j["latencyMs"] = {
        {"samples", latency.samples}, {"median", latency.medianMs}, {"p99", latency.p99Ms},
        {"min", latency.minMs},       {"max", latency.maxMs},       {"mean", latency.meanMs},
    };
    j["pings"] = totals.pings;
    j["pongsSent"] = totals.pongsSent;
    j["cursorPositions"] = totals.cursorPositions;
    j["cursorImages"] = totals.cursorImages;
    j["inputsSent"] = totals.inputsSent;
    j["keyRequestsSent"] = totals.keyRequestsSent;
    j["stalls"] = totals.stalls;
    j["packets"] = totals.packets;
    j["bytes"] = totals.bytes;
    j["videoBytes"] = totals.videoBytes;
    j["lastPicture"] = lastWidth > 0 ? nlohmann::json{{"width", lastWidth}, {"height", lastHeight}}
                                     : nlohmann::json(nullptr);
    j["png"] = pngPath ? nlohmann::json(*pngPath) : nlohmann::json(nullptr);
    j["pngError"] = pngError ? nlohmann::json(*pngError) : nlohmann::json(nullptr);
    j["violationCount"] = violationCount;
    j["violations"] = violations;
    // Text from the host (violation messages) may hold any byte; replace what is not UTF-8.
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace panelora::tabletsim
