#include "input_script.h"

#include "test_prelude.h"

namespace panelora::tabletsim {
namespace {

using test::hex;
using Wire::PacketType;

TEST(InputScript, ParsesEveryActionPhaseModifierAndNumberForm) {
    const auto parsed = parseInputScript(
        "at 10 touch down 0.5 0.5; at 20 touch up 0.5 0.5; at 30 key 4 down shift; "
        "at 40 key 4 up; at 50 scroll 0 -120; at 60 keyrequest\n"
        "# a comment line\n"
        "AT 70 TOUCH Drag 1 0   # trailing comment\n"
        "at 80 touch secondary 0.25 0.75\n"
        "at 90 touch hover 2 -1\n"
        "at 100 touch 4 0 0\n"
        "\n"
        "at 110 key 0xE1 down control option command capslock shift\n"
        "at 120 key 65535 up ctrl alt cmd\n");
    ASSERT_TRUE(parsed.ok()) << parsed.errors.front().describe();
    // Out-of-range coordinates are sent as written (the computer clamps them); all five
    // modifiers, and their short names.
    const std::pair<PacketType, const char*> expected[] = {
        {PacketType::touch, "00 3F000000 3F000000"},  // down at 0.5, 0.5
        {PacketType::touch, "02 3F000000 3F000000"},  // up
        {PacketType::key, "0004 01 01"},              // usage 4 (a) down with shift
        {PacketType::key, "0004 00 00"},
        {PacketType::scroll, "00000000 C2F00000"},  // 0, -120
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

TEST(InputScript, SortsByTimeKeepingTheWrittenOrderOfTies) {
    const auto parsed = parseInputScript(
        "at 300 keyrequest; at 100 scroll 1 1; at 200 scroll 2 2; at 100 "
        "scroll 3 3");
    ASSERT_TRUE(parsed.ok());
    std::vector<std::string> texts;
    for (const auto& e : parsed.events)
        texts.push_back(e.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"at 100 scroll 1 1", "at 100 scroll 3 3",
                                               "at 200 scroll 2 2", "at 300 keyrequest"}));
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
    EXPECT_EQ(lines, (std::vector<size_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    // The good statements still parse.
    ASSERT_EQ(parsed.events.size(), 2u);
    EXPECT_EQ(parsed.events[1].atMs, 300);

    ASSERT_FALSE(parsed.errors.empty());
    EXPECT_EQ(parsed.errors[0].describe(),
              "line 2: unknown action 'tuch' in \"at 200 tuch down 0 0\"");
    EXPECT_EQ(parsed.errors[1].statement, "at -5 keyrequest");
    EXPECT_NE(parsed.errors[3].message.find("3 arguments"), std::string::npos);
}

TEST(InputScript, EmptyTextIsAnEmptyScript) {
    for (const char* text : {"", "\n\n", " ; ;", "# only a comment"}) {
        const auto parsed = parseInputScript(text);
        EXPECT_TRUE(parsed.ok()) << text;
        EXPECT_TRUE(parsed.events.empty()) << text;
    }
}

}  // namespace
}  // namespace panelora::tabletsim
