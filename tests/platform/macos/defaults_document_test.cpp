// The settings document as the user defaults keep it: "space" an integer, "preferSmooth" a
// boolean, "displayArrangement" the record's JSON as data.
#include "platform/macos/portable/defaults_document.h"

#include <nlohmann/json.hpp>

#include "test_prelude.h"

namespace panelora::test {
namespace {

using defaults::Values;

TEST(DefaultsDocument, DocumentFromStoredValues) {
    struct Case {
        Values stored;
        const char* document;
    };
    const Case cases[] = {
        {Values{}, "{}"},
        {Values{125, true, bytesOf(R"({"side":"left","offset":-120})")},
         R"({"space":125,"preferSmooth":true,"displayArrangement":{"side":"left","offset":-120}})"},
        {Values{0, false, std::nullopt}, R"({"space":0,"preferSmooth":false})"},
        // Data that is not JSON is left out; the arrangement then restores nothing.
        {Values{std::nullopt, std::nullopt, bytesOf("{\"side\": ")}, "{}"},
        {Values{std::nullopt, std::nullopt, bytesOf("")}, "{}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nlohmann::json::parse(defaults::documentFrom(c.stored)),
                  nlohmann::json::parse(c.document))
            << c.document;
    }
}

TEST(DefaultsDocument, ValuesForASavedDocument) {
    EXPECT_EQ(defaults::valuesFrom(R"({"space": 150, "preferSmooth": false,
                                      "displayArrangement": {"side": "below", "offset": 3.5},
                                      "other": 1})"),
              (Values{150, false, bytesOf(R"({"offset":3.5,"side":"below"})")}));
    // Members of the wrong type are not written; the arrangement is kept whatever its shape
    // (its reader decides), as the file store keeps it.
    EXPECT_EQ(defaults::valuesFrom(R"({"space": "125", "preferSmooth": 1,
                                      "displayArrangement": "left"})"),
              (Values{std::nullopt, std::nullopt, bytesOf(R"("left")")}));
    EXPECT_EQ(defaults::valuesFrom(R"({"space": 18446744073709551615})"), Values{});
    EXPECT_EQ(defaults::valuesFrom(R"({"space": 1.5})"), Values{});
    EXPECT_EQ(defaults::valuesFrom("[]"), Values{});
    EXPECT_EQ(defaults::valuesFrom("not json"), Values{});
    const Values stored{100, true, bytesOf(R"({"offset":-50,"side":"above"})")};
    EXPECT_EQ(defaults::valuesFrom(defaults::documentFrom(stored)), stored);  // the round trip
}

}  // namespace
}  // namespace panelora::test
