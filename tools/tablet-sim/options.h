// The simulator's command line, parsed into a plain value, and the hello it sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "input_script.h"

namespace panelora::tabletsim {

struct HelloChoice {
    enum class Kind {
        hello,    // a hello packet with the fields below
        none,     // nothing: the host waits out its handshake timeout
        garbage,  // a hello packet (type 5) whose 7-byte payload parseHello rejects (100x100 at
                  // 0 fps); the stream stays at a packet boundary
        random,   // 37 random bytes, not a packet: the stream is broken from the first byte
    };
    Kind kind = Kind::hello;
    uint16_t width = 2732;
    uint16_t height = 2048;
    uint8_t maxFPS = 120;
    bool clientCursor = false;
    uint8_t version = 2;
};

// The whole hello packet, header included; empty for Kind::none.
std::vector<uint8_t> helloBytes(const HelloChoice& choice);

struct Options {
    uint16_t port = 5555;  // 0 picks a free port
    HelloChoice hello;
    int64_t helloDelayMs = 0;
    int64_t pongDelayMs = 0;
    bool noPong = false;
    int64_t keyRequestEveryMs = 0;    // 0: none
    std::vector<ScriptEvent> script;  // --script, --input and --key-request-at, sorted by time
    std::optional<int64_t> stallAtMs;
    int64_t stallForMs = 0;
    bool verbose = false;
    std::string jsonPath;
    std::string pngPath;
    std::optional<int64_t> durationMs;
    std::optional<int64_t> closeAfterMs;  // per connection, from its accept
    std::optional<uint64_t> connections;
    bool strict = false;
    bool expectFrames = false;
};

extern const char* const usageText;

// Nothing, with the reason in `error`, for a bad argument or an unreadable or bad script.
// `help` is set for --help.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error,
                                    bool& help);

}  // namespace panelora::tabletsim
