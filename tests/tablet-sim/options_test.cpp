#include "options.h"

#include <span>

#include "test_prelude.h"

namespace panelora::tabletsim {
namespace {

using Bytes = std::vector<uint8_t>;

std::optional<Options> parse(std::vector<std::string> args, std::string& error) {
    bool help = false;
    return parseOptions(args, error, help);
}

TEST(TabletSimOptions, DefaultHelloBytes) {
    // Hello, length 7: 2732 × 2048, 120 Hz, no client cursor, version 2.
    EXPECT_EQ(helloBytes(HelloChoice{}), test::hex("05 00000007 0AAC 0800 78 00 02"));
}

TEST(TabletSimOptions, HelloVariantsAsTheHostReadsThem) {
    std::string error;
    auto options = parse({"--hello", "1920x1200@60", "--client-cursor", "--version", "3"}, error);
    ASSERT_TRUE(options) << error;
    Bytes bytes = helloBytes(options->hello);
    ASSERT_EQ(bytes.size(), 12u);
    auto hello = Wire::parseHello(std::span(bytes).subspan(5));
    ASSERT_TRUE(hello);
    EXPECT_EQ(*hello, (Hello{1920, 1200, 60, true, 3}));

    options = parse({"--hello", "2048x2732@120"}, error);  // portrait: sent, then rejected
    ASSERT_TRUE(options) << error;
    bytes = helloBytes(options->hello);
    EXPECT_EQ(bytes[0], 5);
    EXPECT_FALSE(Wire::parseHello(std::span(bytes).subspan(5)));

    options = parse({"--hello", "garbage"}, error);
    ASSERT_TRUE(options);
    bytes = helloBytes(options->hello);
    ASSERT_GE(bytes.size(), 10u);
    EXPECT_EQ(bytes[0], 5);
    EXPECT_EQ(bytes[4], bytes.size() - 5);  // a whole packet: the stream stays aligned
    EXPECT_FALSE(Wire::parseHello(std::span(bytes).subspan(5)));

    options = parse({"--hello", "none"}, error);
    ASSERT_TRUE(options);
    EXPECT_TRUE(helloBytes(options->hello).empty());

    options = parse({"--hello", "random"}, error);
    ASSERT_TRUE(options);
    bytes = helloBytes(options->hello);
    EXPECT_EQ(bytes.size(), 37u);
    EXPECT_NE(bytes[0], 5);
}

TEST(TabletSimOptions, ScriptsFromAllSourcesMergeInTimeOrder) {
    std::string error;
    const auto options = parse({"--input",          "at 300 scroll 0 1",
                                "--key-request-at", "100",
                                "--input",          "at 200 key 4 down",
                                "--port",           "0",
                                "--duration",       "5000",
                                "--connections",    "2",
                                "--stall-at",       "10",
                                "--stall-for",      "20",
                                "--strict",         "--expect-frames",
                                "--json",           "r.json"},
                               error);
    ASSERT_TRUE(options) << error;
    ASSERT_EQ(options->script.size(), 3u);
    EXPECT_EQ(options->script[0].type, Wire::PacketType::keyRequest);
    EXPECT_EQ(options->script[1].type, Wire::PacketType::key);
    EXPECT_EQ(options->script[2].type, Wire::PacketType::scroll);
    EXPECT_EQ(options->port, 0);
    EXPECT_EQ(options->durationMs, 5000);
    EXPECT_EQ(options->connections, 2u);
    EXPECT_EQ(options->stallAtMs, 10);
    EXPECT_EQ(options->stallForMs, 20);
    EXPECT_TRUE(options->strict);
    EXPECT_TRUE(options->expectFrames);
    EXPECT_EQ(options->jsonPath, "r.json");
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

}  // namespace
}  // namespace panelora::tabletsim
