// The simulator's parts that need no process: the stream checker, the input script, the command
// line and the latency statistics.
#include <span>

#include "input_script.h"
#include "latency_stats.h"
#include "options.h"
#include "stream_checker.h"
#include "test_prelude.h"

namespace panelora::tabletsim {
namespace {

using test::hex;
using test::join;
using Wire::PacketType;

using Bytes = std::vector<uint8_t>;
using End = Wire::PacketReader::End;

constexpr uint8_t kConfig = 1, kFrame = 2, kPing = 6, kCursorPosition = 8, kCursorImage = 9;

// SPS length 4, SPS (NAL type 7), PPS length 2, PPS (NAL type 8).
const Bytes configPayload = hex("0004 6742C01E 0002 68CE");

// Frame payload: flags, ptsMicros 0x10xx, then one 3-byte NAL unit: an IDR or a non-IDR slice.
Bytes framePayload(bool key, uint8_t ptsLow) {
    return join({hex(key ? "01" : "00"),
                 hex("00000000000010"),
                 {ptsLow},
                 hex(key ? "00000003 658884" : "00000003 418884")});
}

std::string allMessages(const StreamChecker& c) {
    std::string out;
    for (const auto& v : c.violations())
        out += v.message + "\n";
    return out;
}

// Each sequence makes one violation, whose message says what went wrong.
TEST(StreamChecker, OrderingViolations) {
    using Packets = std::vector<std::pair<uint8_t, Bytes>>;
    const Bytes config = configPayload, key = framePayload(true, 0);
    const std::pair<Packets, const char*> cases[] = {
        {{{kFrame, framePayload(false, 0)}}, "first frame is not a key frame"},
        {{{kFrame, key}}, "none received earlier"},  // no parameter sets ever
        {{{kConfig, config}, {kFrame, key}, {kConfig, config}, {kFrame, framePayload(false, 1)}},
         "non-key frame directly after a config"},
        {{{kConfig, config}, {kPing, Bytes(8, 0)}, {kFrame, key}},
         "not followed by its key frame (next packet: ping)"},
        {{{kConfig, config},
          {kFrame, framePayload(true, 0x20)},
          {kFrame, framePayload(false, 0x1F)}},
         "ptsMicros went backwards: 4127 after 4128"},
        {{{kPing, Bytes(7, 0)}}, "ping payload of 7 bytes"},
        {{{kFrame, Bytes(8, 0)}}, "at least 9"},
    };
    for (const auto& [packets, expected] : cases) {
        StreamChecker c;
        for (const auto& [type, payload] : packets)
            c.check(type, payload);
        c.finish(End::endOfStream, false);
        SCOPED_TRACE(allMessages(c));
        EXPECT_EQ(c.violationCount(), 1u) << expected;
        EXPECT_NE(allMessages(c).find(expected), std::string::npos) << expected;
    }
    // A non-key first frame is not handed to the decoder.
    StreamChecker c;
    c.check(kConfig, configPayload);
    EXPECT_FALSE(c.check(kFrame, framePayload(false, 0)).frame);
}

// A config and its key frame are ready to decode; then one packet after them: whether it is a
// violation, for a frame whether it is handed to the decoder, and for a config whether its
// parameter sets replace the earlier.
TEST(StreamChecker, OnePacketAfterAConfigAndItsKeyFrame) {
    StreamChecker ready;
    EXPECT_FALSE(ready.check(kConfig, configPayload).violated);
    const Bytes firstKey = framePayload(true, 0x00);
    const auto first = ready.check(kFrame, firstKey);
    ASSERT_TRUE(first.frame);
    EXPECT_TRUE(first.frame->isKey && first.frame->afterConfig);
    EXPECT_EQ(first.frame->ptsMicros, 0x1000u);
    EXPECT_EQ(ready.parameterSets(), (ParameterSets{hex("6742C01E"), hex("68CE")}));
    EXPECT_EQ(ready.violationCount(), 0u) << allMessages(ready);

    // Flags and ptsMicros 0x2000, before the NAL units.
    const Bytes key = hex("01 0000000000002000"), nonKey = hex("00 0000000000002000");
    // Display width 1024 points; image 20 × 20; hot spot 2, 3; a PNG signature.
    const Bytes goodImage = hex("0400 41A00000 41A00000 40000000 40400000 89504E470D0A1A0A0000");
    Bytes notPng = goodImage;
    notPng[18] = 'X';
    Bytes hugeImage = goodImage;
    hugeImage[2] = 0x45;                                     // image width 5120.0
    const Bytes goodPosition = hex("01 3F000000 BF800000");  // visible, 0.5, -1.0 (outside)

    struct Case {
        const char* name;
        uint8_t type;
        Bytes payload;
        bool violation;
        bool dropped = false;  // not handed to the decoder
    };
    const Case cases[] = {
        {"a non-key frame at the same time stamp", kFrame, framePayload(false, 0), false},
        {"a key frame using the earlier parameter sets", kFrame, framePayload(true, 0x20), false},
        {"the smallest config", kConfig, hex("0001 67 0001 68"), false},
        {"empty config", kConfig, {}, true},
        {"SPS longer than the payload", kConfig, hex("0009 6742"), true},
        {"PPS length missing", kConfig, hex("0001 67"), true},
        {"config with a trailing byte", kConfig, hex("0001 67 0001 68 FF"), true},
        {"zero-length SPS", kConfig, hex("0000 0001 68"), true},
        {"swapped NAL types", kConfig, hex("0001 68 0001 67"), true},
        {"NAL length past the end", kFrame, join({key, hex("00000004 658884")}), true, true},
        {"bytes left over", kFrame, join({key, hex("00000002 658884")}), true, true},
        {"partial length field", kFrame, join({key, hex("00000002 6588 0000")}), true, true},
        {"zero-length NAL", kFrame, join({key, hex("00000000 00000001 65")}), true, true},
        {"no NAL at all", kFrame, key, true, true},
        {"key flag on a non-IDR slice", kFrame, join({key, hex("00000003 418884")}), true},
        {"IDR slice not flagged", kFrame, join({nonKey, hex("00000003 658884")}), true},
        {"other flags", kFrame, hex("02 0000000000002000 00000003 418884"), true},
        {"an SEI and an IDR slice", kFrame, join({key, hex("00000002 0605 00000003 658884")}),
         false},
        {"position of 9 bytes", kCursorPosition, goodPosition, false},
        {"position of 8 bytes", kCursorPosition,
         Bytes(goodPosition.begin(), goodPosition.end() - 1), true},
        {"position of 10 bytes", kCursorPosition, Bytes(10, 0), true},
        {"position visible byte 2", kCursorPosition, hex("02 3F000000 BF800000"), true},
        {"image with a PNG", kCursorImage, goodImage, false},
        {"image of 17 bytes", kCursorImage, Bytes(goodImage.begin(), goodImage.begin() + 17), true},
        {"image header only", kCursorImage, Bytes(goodImage.begin(), goodImage.begin() + 18), true},
        {"image that is not a PNG", kCursorImage, notPng, true},
        {"image over 512 points", kCursorImage, hugeImage, true},
    };
    for (const Case& test : cases) {
        StreamChecker c = ready;
        const auto outcome = c.check(test.type, test.payload);
        EXPECT_EQ(outcome.violated, test.violation) << test.name << "\n" << allMessages(c);
        if (test.type == kFrame) {
            EXPECT_EQ(bool(outcome.frame), !test.dropped) << test.name;
            EXPECT_FALSE(outcome.frame && outcome.frame->afterConfig) << test.name;
        }
        if (test.type == kConfig) {
            EXPECT_EQ(c.parameterSets()->sps == hex("67"), !test.violation) << test.name;
        }
    }
}

TEST(StreamChecker, HowTheStreamEnded) {
    // How it ended, whether we closed it, whether a config came last, and the violations.
    const std::tuple<End, bool, bool, uint64_t> cases[] = {
        {End::endOfStream, false, false, 0}, {End::truncated, false, false, 1},
        {End::truncated, true, false, 0},    {End::failed, true, false, 0},
        {End::tooLong, true, false, 1},      {End::endOfStream, false, true, 1},
    };
    for (const auto& [end, closedByUs, afterConfig, violations] : cases) {
        StreamChecker c;
        if (afterConfig) c.check(kConfig, configPayload);
        c.finish(end, closedByUs);
        EXPECT_EQ(c.violationCount(), violations) << int(end) << " " << closedByUs << "\n"
                                                  << allMessages(c);
    }
}

TEST(StreamChecker, StoredViolationsAreCappedButCounted) {
    StreamChecker c;
    for (int i = 0; i < 1000; ++i)
        c.check(0, {});
    EXPECT_EQ(c.violationCount(), 1000u);
    EXPECT_EQ(c.violations().size(), StreamChecker::maxStoredViolations);
    EXPECT_EQ(c.violations().back().packetIndex, StreamChecker::maxStoredViolations - 1);
}

TEST(InputScript, ParsesEveryActionPhaseModifierAndNumberForm) {
    const auto parsed = parseInputScript(
        "at 10 touch down 0.5 0.5; at 40 key 4 up; ; at 60 keyrequest ;\n"
        "# a comment line\n"
        "AT 70 TOUCH Drag 1 0   # trailing comment\n"
        "at 80 touch secondary 0.25 0.75\n"
        "at 90 touch hover 2 -1\n"
        "at 100 touch 4 0 0\n"
        "\n"
        "at 110 key 0xE1 down control option command capslock shift\n"
        "at 120 key 65535 up ctrl alt cmd\n");
    ASSERT_TRUE(parsed.ok()) << parsed.errors.front().describe();
    // Empty statements are skipped; out-of-range coordinates are sent as written (the computer
    // clamps them); all five modifiers, and their short names.
    const std::pair<PacketType, const char*> expected[] = {
        {PacketType::touch, "00 3F000000 3F000000"},  // down at 0.5, 0.5
        {PacketType::key, "0004 00 00"},              // usage 4 (a) up
        {PacketType::keyRequest, ""},
        {PacketType::touch, "01 3F800000 00000000"},  // drag
        {PacketType::touch, "03 3E800000 3F400000"},  // secondary click
        {PacketType::touch, "04 40000000 BF800000"},  // hover
        {PacketType::touch, "04 00000000 00000000"},  // hover by number
        {PacketType::key, "00E1 01 1F"},
        {PacketType::key, "FFFF 00 0E"},
    };
    ASSERT_EQ(parsed.events.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(parsed.events[i].type, expected[i].first) << i;
        EXPECT_EQ(parsed.events[i].payload, hex(expected[i].second)) << i;
    }
    EXPECT_EQ(parsed.events[0].atMs, 10);
    EXPECT_EQ(parsed.events[0].text, "at 10 touch down 0.5 0.5");
}

TEST(InputScript, ErrorsNameTheLineAndTheStatement) {
    const auto parsed = parseInputScript(
        "at 100 touch down 0.5 0.5\n"
        "at 200 tuch down 0 0\n"                 // line 2
        "at -5 keyrequest; at 300 keyrequest\n"  // line 3
        "at 400 touch sideways 0 0\n"            // line 4
        "at 500 touch down 0.5\n"                // line 5
        "at 600 key 70000 down\n"                // line 6
        "at 700 key 4 sideways\n"                // line 7
        "at 800 key 4 down hyper\n"              // line 8
        "at 900 scroll x 1\n"                    // line 9
        "at 1000 keyrequest now\n"               // line 10
        "touch down 0 0\n"                       // line 11
        "at 1100 touch down 0.5 0.5x\n");        // line 12
    std::vector<size_t> lines;
    for (const auto& e : parsed.errors)
        lines.push_back(e.line);
    ASSERT_EQ(lines, (std::vector<size_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    // The good statements still parse.
    ASSERT_EQ(parsed.events.size(), 2u);
    EXPECT_EQ(parsed.events[1].atMs, 300);
    EXPECT_EQ(parsed.errors[0].describe(),
              "line 2: unknown action 'tuch' in \"at 200 tuch down 0 0\"");
    EXPECT_EQ(parsed.errors[1].statement, "at -5 keyrequest");
    EXPECT_NE(parsed.errors[3].message.find("3 arguments"), std::string::npos);
}

std::optional<Options> parse(std::vector<std::string> args, std::string& error) {
    bool help = false;
    return parseOptions(args, error, help);
}

// What the host reads of each choice, and how many bytes: a hello it rejects that still ends at a
// packet boundary, or nothing, or noise that is no packet. (The default hello, one with the
// client cursor and a version, and garbage, are read by the host in the process tests.)
TEST(TabletSimOptions, HelloChoicesAsTheHostReadsThem) {
    const std::pair<std::vector<std::string>, size_t> cases[] = {
        {{"--hello", "2048x2732@120"}, 12},  // portrait: sent, then rejected
        {{"--hello", "none"}, 0},
        {{"--hello", "random"}, 37},
    };
    for (const auto& [args, size] : cases) {
        std::string error;
        const auto options = parse(args, error);
        ASSERT_TRUE(options) << error;
        const Bytes bytes = helloBytes(options->hello);
        ASSERT_EQ(bytes.size(), size) << error;
        if (size == 12) {
            EXPECT_EQ(bytes[0], 5);
            EXPECT_EQ(bytes[4], 7);
            EXPECT_FALSE(Wire::parseHello(std::span(bytes).subspan(5)));
        } else if (size) {
            EXPECT_NE(bytes[0], 5);
        }
    }
}

// Within one text and across every source on the command line.
TEST(TabletSimOptions, ScriptsSortByTimeKeepingTheWrittenOrderOfTies) {
    std::string error;
    const auto options = parse({"--input", "at 300 scroll 0 1", "--key-request-at", "100",
                                "--input", "at 200 key 4 down; at 100 key 4 up; at 100 scroll 3 3"},
                               error);
    ASSERT_TRUE(options) << error;
    std::vector<std::string> texts;
    for (const ScriptEvent& event : options->script)
        texts.push_back(event.text);
    EXPECT_EQ(texts,
              (std::vector<std::string>{"at 100 keyrequest", "at 100 key 4 up", "at 100 scroll 3 3",
                                        "at 200 key 4 down", "at 300 scroll 0 1"}));
}

TEST(TabletSimOptions, BadArgumentsAreRefusedWithAReason) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--port", "70000"}, "--port"},
        {{"--port"}, "needs a value"},
        {{"--hello", "2732x2048"}, "--hello"},
        {{"--hello", "0x2048@60"}, "--hello"},
        {{"--hello", "2732x2048@256"}, "--hello"},
        {{"--version", "256"}, "--version"},
        {{"--pong-delay", "-1"}, "bad number"},
        {{"--duration", "0"}, "bad number"},
        {{"--stall-at", "100"}, "go together"},
        {{"--input", "at 100 tuch down 0 0"}, "--input, line 1: unknown action 'tuch'"},
        {{"--script", "/nonexistent/script"}, "cannot read"},
        {{"--frobnicate"}, "unknown option"},
    };
    for (const auto& [args, expected] : cases) {
        std::string error;
        EXPECT_FALSE(parse(args, error)) << args[0];
        EXPECT_NE(error.find(expected), std::string::npos) << args[0] << ": " << error;
    }
}

TEST(LatencyStats, PercentilesInterpolateBetweenRanksOfAnySamples) {
    LatencyStats stats;
    // 1 to 100 ms, added out of order.
    for (int i = 100; i >= 1; --i)
        stats.add(i * 1000);
    const LatencySummary s = stats.summary();
    EXPECT_DOUBLE_EQ(s.medianMs, 50.5);  // mean of the 50th and 51st
    EXPECT_DOUBLE_EQ(s.p99Ms, 99.01);    // 99 + 0.01 of the way to 100
    EXPECT_DOUBLE_EQ(s.minMs, 1.0);
    EXPECT_DOUBLE_EQ(s.maxMs, 100.0);
    EXPECT_DOUBLE_EQ(s.meanMs, 50.5);

    LatencyStats outlier;
    for (int64_t v : {4000, 2000, 3000, 1000, 900000})
        outlier.add(v);
    EXPECT_DOUBLE_EQ(*outlier.percentileMicros(50), 3000.0);
    // Rank 0.99 * 4 = 3.96: 4000 + 0.96 * 896000.
    EXPECT_DOUBLE_EQ(*outlier.percentileMicros(99), 864160.0);

    LatencyStats empty, one;
    EXPECT_FALSE(empty.percentileMicros(50));
    EXPECT_EQ(empty.summary(), LatencySummary{});
    one.add(-2500);  // a host whose clock is not this machine's monotonic clock
    EXPECT_DOUBLE_EQ(one.summary().medianMs, -2.5);
    EXPECT_DOUBLE_EQ(one.summary().p99Ms, -2.5);
}

}  // namespace
}  // namespace panelora::tabletsim
