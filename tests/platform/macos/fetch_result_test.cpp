// The update check's fetch on macOS: HTTPS only, any HTTP status a response, the body cut at the
// request's limit.
#include "platform/macos/portable/fetch_result.h"

#include "test_prelude.h"

namespace panelora::test {
namespace {

TEST(FetchResult, HttpsAddresses) {
    for (const char* https :
         {"https://panelora.app/downloads/panelora.json", "HTTPS://panelora.app/"})
        EXPECT_TRUE(isHttpsURL(https)) << https;
    for (const char* other : {"http://panelora.app/downloads/panelora.json", "https://",
                              "https:/panelora.app", "ftp://panelora.app", ""})
        EXPECT_FALSE(isHttpsURL(other)) << other;
}

TEST(FetchResult, Answers) {
    const std::vector<uint8_t> body{'{', '}', '\n'};
    const std::string https = "https://panelora.app/downloads/panelora.json";
    struct Case {
        const char* what;
        URLAnswer answer;
        std::optional<long> status;  // nothing: the fetch failed
    };
    const Case cases[] = {
        {"ok", {false, true, 200, https, body}, 200},
        {"not found is a response", {false, true, 404, https, body}, 404},
        {"transport error", {true, false, 0, "", {}}, std::nullopt},
        {"error after a response", {true, true, 200, https, body}, std::nullopt},
        {"not HTTP", {false, false, 0, https, body}, std::nullopt},
        {"redirected to plain HTTP", {false, true, 200, "http://panelora.app/x", body}, {}},
    };
    for (const Case& c : cases) {
        const auto result = fetchResult(c.answer, 16'384);
        ASSERT_EQ(result.has_value(), c.status.has_value()) << c.what;
        if (!result) continue;
        EXPECT_EQ(result->statusCode, *c.status) << c.what;
        EXPECT_EQ(result->body, body) << c.what;
    }
}

TEST(FetchResult, BodyCutAtTheLimit) {
    const std::vector<uint8_t> body(20'000, 'x');
    const URLAnswer answer{false, true, 200, "https://panelora.app/", body};
    EXPECT_EQ(fetchResult(answer, 16'384)->body.size(), 16'384u);
    EXPECT_EQ(fetchResult(answer, 30'000)->body.size(), 20'000u);
    EXPECT_TRUE(fetchResult(answer, 0)->body.empty());
}

}  // namespace
}  // namespace panelora::test
