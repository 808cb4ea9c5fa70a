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

// What the host reads of each choice: a hello it takes, or one it rejects that still ends at a
// packet boundary, or nothing, or noise that is no packet.
TEST(TabletSimOptions, HelloChoicesAsTheHostReadsThem) {
    struct Case {
        std::vector<std::string> args;
        std::optional<Hello> hello;
        size_t size;
    };
    const Case cases[] = {
        {{}, Hello{2732, 2048, 120, false, 2}, 12},
        {{"--hello", "1920x1200@60", "--client-cursor", "--version", "3"},
         Hello{1920, 1200, 60, true, 3},
         12},
        {{"--hello", "2048x2732@120"}, std::nullopt, 12},  // portrait: sent, then rejected
        {{"--hello", "garbage"}, std::nullopt, 12},
        {{"--hello", "none"}, std::nullopt, 0},
        {{"--hello", "random"}, std::nullopt, 37},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto options = parse(c.args, error);
        ASSERT_TRUE(options) << error;
        const Bytes bytes = helloBytes(options->hello);
        ASSERT_EQ(bytes.size(), c.size) << error;
        if (c.size == 12) {
            EXPECT_EQ(bytes[0], 5);
            EXPECT_EQ(bytes[4], 7);
            EXPECT_EQ(Wire::parseHello(std::span(bytes).subspan(5)), c.hello);
        } else if (c.size) {
            EXPECT_NE(bytes[0], 5);
        }
    }
}

TEST(TabletSimOptions, ScriptsFromAllSourcesMergeInTimeOrder) {
    std::string error;
    const auto options = parse(
        {"--input", "at 300 scroll 0 1", "--key-request-at", "100", "--input", "at 200 key 4 down"},
        error);
    ASSERT_TRUE(options) << error;
    std::vector<Wire::PacketType> types;
    for (const ScriptEvent& event : options->script)
        types.push_back(event.type);
    EXPECT_EQ(types, (std::vector{Wire::PacketType::keyRequest, Wire::PacketType::key,
                                  Wire::PacketType::scroll}));
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
