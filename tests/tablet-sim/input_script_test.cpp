#include "input_script.h"

#include "test_prelude.h"

namespace panelora::tabletsim {
namespace {

using test::hex;
using Wire::PacketType;

TEST(InputScript, ParsesEveryActionToItsWireBytes) {
    const auto parsed = parseInputScript(
        "at 2000 touch down 0.5 0.5; at 2100 touch up 0.5 0.5; at 3000 key 4 down shift; "
        "at 3050 key 4 up; at 4000 scroll 0 -120; at 4500 keyrequest");
    ASSERT_TRUE(parsed.ok()) << parsed.errors.front().describe();
    // Down and up at 0.5, 0.5; usage 4 (a) down with shift, then up; scroll 0, -120.
    const std::pair<PacketType, const char*> expected[] = {
        {PacketType::touch, "00 3F000000 3F000000"},
        {PacketType::touch, "02 3F000000 3F000000"},
        {PacketType::key, "0004 01 01"},
        {PacketType::key, "0004 00 00"},
        {PacketType::scroll, "00000000 C2F00000"},
        {PacketType::keyRequest, ""}};
    ASSERT_EQ(parsed.events.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(parsed.events[i].type, expected[i].first) << i;
        EXPECT_EQ(parsed.events[i].payload, hex(expected[i].second)) << i;
    }
    EXPECT_EQ(parsed.events[0].atMs, 2000);
    EXPECT_EQ(parsed.events[0].text, "at 2000 touch down 0.5 0.5");
}

TEST(InputScript, PhasesModifiersAndNumberForms) {
    const auto parsed = parseInputScript(
        "# a comment line\n"
        "AT 10 TOUCH Drag 1 0   # trailing comment\n"
        "at 20 touch secondary 0.25 0.75\n"
        "at 30 touch hover 2 -1\n"
        "at 40 touch 4 0 0\n"
        "\n"
        "at 50 key 0xE1 down control option command capslock shift\n"
        "at 60 key 65535 up ctrl alt cmd\n");
    ASSERT_TRUE(parsed.ok()) << parsed.errors.front().describe();
    // Drag, secondary click, hover (out-of-range coordinates are sent as written: the computer
    // clamps them), hover by number; all five modifiers, and their short names.
    std::vector<std::vector<uint8_t>> payloads;
    for (const auto& e : parsed.events)
        payloads.push_back(e.payload);
    EXPECT_EQ(payloads, (std::vector{hex("01 3F800000 00000000"), hex("03 3E800000 3F400000"),
                                     hex("04 40000000 BF800000"), hex("04 00000000 00000000"),
                                     hex("00E1 01 1F"), hex("FFFF 00 0E")}));
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
