#include "options.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <random>
#include <sstream>

#include "protocol/byte_order.h"
#include "protocol/wire.h"

namespace panelora::tabletsim {

const char* const usageText =
    "usage: tablet-sim [options]\n"
    "Stands in for the tablet's companion app: listens on 127.0.0.1, sends a hello, echoes pings,\n"
    "decodes and checks the video, sends scripted input, and reports what it saw.\n"
    "  --port N                 TCP port (default 5555; 0 picks a free one)\n"
    "  --hello WxH@FPS          the hello to send (default 2732x2048@120); a portrait size is\n"
    "                           sent as given. Also: none (no hello), garbage (a hello packet\n"
    "                           the host must reject), random (37 random bytes, not a packet)\n"
    "  --client-cursor          set the hello's client-cursor flag\n"
    "  --version N              the hello's protocol version, 0 to 255 (default 2)\n"
    "  --hello-delay MS         send the hello MS after the connection (nothing is sent\n"
    "                           before it: earlier input follows right after it)\n"
    "  --pong-delay MS          answer pings MS late\n"
    "  --no-pong                never answer pings\n"
    "  --key-request-every MS   send a key-frame request every MS\n"
    "  --key-request-at MS      send one key-frame request at MS (repeatable)\n"
    "  --input \"SCRIPT\"         scripted input, e.g. \"at 2000 touch down 0.5 0.5; at 2100 "
    "touch\n"
    "                           up 0.5 0.5; at 3000 key 4 down shift; at 4000 scroll 0 -120\"\n"
    "  --script FILE            the same from a file (one statement per line, # comments)\n"
    "  --stall-at MS --stall-for MS   stop reading for a while, so the host's buffers fill\n"
    "  --duration MS            end after MS (from start-up), closing the connection\n"
    "  --close-after MS         close each connection MS after it was accepted\n"
    "  --connections N          exit after N connections have ended\n"
    "  --strict                 exit at the first protocol violation\n"
    "  --expect-frames          exit non-zero when no frame was decoded\n"
    "  --verbose                a summary line every second\n"
    "  --json FILE              write the final report as JSON\n"
    "  --save-png FILE          save the last decoded picture as PNG\n"
    "Script actions (times in ms since the connection): touch down|drag|up|secondary|hover X Y;\n"
    "key USAGE down|up [shift control option command capslock]; scroll DX DY; keyrequest.\n"
    "Exit status: 0 clean, 1 protocol violation, 2 bad usage or start-up failure,\n"
    "3 --expect-frames and no frame decoded.\n";

namespace {

std::optional<int64_t> parseInt(const std::string& s, int64_t min, int64_t max) {
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<HelloChoice> parseHelloChoice(const std::string& s, HelloChoice choice) {
    if (s == "none") {
        choice.kind = HelloChoice::Kind::none;
        return choice;
    }
    if (s == "garbage") {
        choice.kind = HelloChoice::Kind::garbage;
        return choice;
    }
    if (s == "random") {
        choice.kind = HelloChoice::Kind::random;
        return choice;
    }
    const size_t x = s.find('x');
    const size_t at = s.find('@');
    if (x == std::string::npos || at == std::string::npos || at < x) return std::nullopt;
    const auto w = parseInt(s.substr(0, x), 1, 65535);
    const auto h = parseInt(s.substr(x + 1, at - x - 1), 1, 65535);
    const auto fps = parseInt(s.substr(at + 1), 0, 255);
    if (!w || !h || !fps) return std::nullopt;
    choice.kind = HelloChoice::Kind::hello;
    choice.width = static_cast<uint16_t>(*w);
    choice.height = static_cast<uint16_t>(*h);
    choice.maxFPS = static_cast<uint8_t>(*fps);
    return choice;
}

bool addScript(std::string_view text, const std::string& origin, Options& options,
               std::string& error) {
    ParsedScript parsed = parseInputScript(text);
    if (!parsed.ok()) {
        error = origin + ", " + parsed.errors.front().describe();
        for (size_t i = 1; i < parsed.errors.size(); ++i) {
            error += "\n" + origin + ", " + parsed.errors[i].describe();
        }
        return false;
    }
    options.script.insert(options.script.end(), parsed.events.begin(), parsed.events.end());
    return true;
}

}  // namespace

std::vector<uint8_t> helloBytes(const HelloChoice& choice) {
    switch (choice.kind) {
        case HelloChoice::Kind::none:
            return {};
        case HelloChoice::Kind::random: {
            std::random_device seed;
            std::mt19937 gen(seed());
            std::vector<uint8_t> bytes(37);
            for (uint8_t& b : bytes)
                b = static_cast<uint8_t>(gen());
            // Never a valid hello header by accident.
            bytes[0] = 0xEE;
            return bytes;
        }
        case HelloChoice::Kind::garbage: {
            std::vector<uint8_t> payload;
            appendU16BE(payload, 100);  // width below 640
            appendU16BE(payload, 100);  // height below 480
            payload.push_back(0);       // maxFPS 0
            payload.push_back(0xFF);    // flags
            payload.push_back(0xFF);    // version
            return Wire::packet(Wire::PacketType::hello, payload);
        }
        case HelloChoice::Kind::hello:
            break;
    }
    std::vector<uint8_t> payload;
    appendU16BE(payload, choice.width);
    appendU16BE(payload, choice.height);
    payload.push_back(choice.maxFPS);
    payload.push_back(choice.clientCursor ? 1 : 0);
    payload.push_back(choice.version);
    return Wire::packet(Wire::PacketType::hello, payload);
}

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error,
                                    bool& help) {
    Options options;
    help = false;
    constexpr int64_t maxMs = int64_t{1} << 40;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        auto millis = [&](int64_t min = 0) -> std::optional<int64_t> {
            const auto v = value();
            if (!v) return std::nullopt;
            const auto n = parseInt(*v, min, maxMs);
            if (!n) error = arg + ": bad number '" + *v + "'";
            return n;
        };

        if (arg == "--help" || arg == "-h") {
            help = true;
            return options;
        } else if (arg == "--port") {
            const auto v = value();
            if (!v) return std::nullopt;
            const auto n = parseInt(*v, 0, 65535);
            if (!n) {
                error = "--port: bad port '" + *v + "'";
                return std::nullopt;
            }
            options.port = static_cast<uint16_t>(*n);
        } else if (arg == "--hello") {
            const auto v = value();
            if (!v) return std::nullopt;
            const auto choice = parseHelloChoice(*v, options.hello);
            if (!choice) {
                error = "--hello: expected WIDTHxHEIGHT@MAXFPS, none, garbage or random, got '" +
                        *v + "'";
                return std::nullopt;
            }
            options.hello = *choice;
        } else if (arg == "--client-cursor") {
            options.hello.clientCursor = true;
        } else if (arg == "--version") {
            const auto v = value();
            if (!v) return std::nullopt;
            const auto n = parseInt(*v, 0, 255);
            if (!n) {
                error = "--version: expected 0 to 255, got '" + *v + "'";
                return std::nullopt;
            }
            options.hello.version = static_cast<uint8_t>(*n);
        } else if (arg == "--hello-delay") {
            const auto n = millis();
            if (!n) return std::nullopt;
            options.helloDelayMs = *n;
        } else if (arg == "--pong-delay") {
            const auto n = millis();
            if (!n) return std::nullopt;
            options.pongDelayMs = *n;
        } else if (arg == "--no-pong") {
            options.noPong = true;
        } else if (arg == "--key-request-every") {
            const auto n = millis(1);
            if (!n) return std::nullopt;
            options.keyRequestEveryMs = *n;
        } else if (arg == "--key-request-at") {
            const auto n = millis();
            if (!n) return std::nullopt;
            if (!addScript("at " + std::to_string(*n) + " keyrequest", arg, options, error)) {
                return std::nullopt;
            }
        } else if (arg == "--input") {
            const auto v = value();
            if (!v) return std::nullopt;
            if (!addScript(*v, "--input", options, error)) return std::nullopt;
        } else if (arg == "--script") {
            const auto v = value();
            if (!v) return std::nullopt;
            std::ifstream file(*v);
            if (!file) {
                error = "--script: cannot read '" + *v + "'";
                return std::nullopt;
            }
            std::stringstream text;
            text << file.rdbuf();
            if (!addScript(text.str(), *v, options, error)) return std::nullopt;
        } else if (arg == "--stall-at") {
            const auto n = millis();
            if (!n) return std::nullopt;
            options.stallAtMs = *n;
        } else if (arg == "--stall-for") {
            const auto n = millis();
            if (!n) return std::nullopt;
            options.stallForMs = *n;
        } else if (arg == "--duration") {
            const auto n = millis(1);
            if (!n) return std::nullopt;
            options.durationMs = *n;
        } else if (arg == "--close-after") {
            const auto n = millis(1);
            if (!n) return std::nullopt;
            options.closeAfterMs = *n;
        } else if (arg == "--connections") {
            const auto n = millis(1);
            if (!n) return std::nullopt;
            options.connections = static_cast<uint64_t>(*n);
        } else if (arg == "--strict") {
            options.strict = true;
        } else if (arg == "--expect-frames") {
            options.expectFrames = true;
        } else if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
        } else if (arg == "--json") {
            const auto v = value();
            if (!v) return std::nullopt;
            options.jsonPath = *v;
        } else if (arg == "--save-png") {
            const auto v = value();
            if (!v) return std::nullopt;
            options.pngPath = *v;
        } else {
            error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
    }
    if (options.stallAtMs.has_value() != (options.stallForMs > 0)) {
        error = "--stall-at and --stall-for go together";
        return std::nullopt;
    }
    std::stable_sort(options.script.begin(), options.script.end(),
                     [](const ScriptEvent& a, const ScriptEvent& b) { return a.atMs < b.atMs; });
    return options;
}

}  // namespace panelora::tabletsim
