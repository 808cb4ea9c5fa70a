#include "update/update_checker.h"

#include "support/manual_clock.h"
#include "test_prelude.h"
#include "update_fakes.h"

namespace panelora::test {
namespace {

std::optional<UpdateChecker::Manifest> parse(std::string_view text) {
    return UpdateChecker::parseManifest(bytesOf(text));
}

TEST(UpdateCheckerTest, CurrentVersionIsTheProjectVersion) {
    EXPECT_EQ(UpdateChecker::currentVersion(), EXPECTED_PROJECT_VERSION);
}

TEST(ManifestTest, AcceptsWellFormedManifests) {
    struct Case {
        std::string body;
        UpdateChecker::Manifest expected;
    } const cases[] = {
        {R"({"version":"2.0"})", {"2.0", std::nullopt}},
        {R"({"version":"1.4.2","notes":"Faster start-up."})", {"1.4.2", "Faster start-up."}},
        {R"({"version":"0"})", {"0", std::nullopt}},
        {R"({"version":"9999.9999.9999.9999"})", {"9999.9999.9999.9999", std::nullopt}},
        {R"({"version":"0001.2"})", {"0001.2", std::nullopt}},
        // Other keys are ignored; notes that are not a string are absent.
        {R"({"url":"x","version":"3","extra":[1,{}],"notes":5})", {"3", std::nullopt}},
        {R"({"version":"3","notes":null})", {"3", std::nullopt}},
        {" \n{ \"version\" : \"3.1\" }\n ", {"3.1", std::nullopt}},
        // Escapes decode; a surrogate pair is one character.
        {R"({"version":"3","notes":"\u00e9t\u00e9 \ud83d\ude00"})",
         {"3", "\u00E9t\u00E9 \U0001F600"}},
        {R"({"version":"3","notes":" \n Line one\nLine two \t"})", {"3", "Line one\nLine two"}},
    };
    for (const auto& c : cases) {
        const auto manifest = parse(c.body);
        ASSERT_TRUE(manifest.has_value()) << c.body;
        EXPECT_EQ(*manifest, c.expected) << c.body;
    }
}

// Not JSON, not an object, a version missing or not a string; ill-formed UTF-8 and lone
// surrogates.
TEST(ManifestTest, RejectsBrokenManifests) {
    for (const char* body :
         {"", "{", "not json", R"({"version":"1.0",})", R"({"version":"1.0"} x)",
          R"({'version':'1.0'})", R"(["1.0"])", R"("1.0")", "1", "null", R"({})",
          R"({"notes":"x"})", R"({"version":1.0})", R"({"version":null})", R"({"version":["1"]})",
          R"({"Version":"1.0"})", "{\"version\":\"1\",\"notes\":\"\xFF\xFE\"}",
          "{\"version\":\"1\",\"notes\":\"\xED\xA0\x80\"}", R"({"version":"1","notes":"\ud800"})"})
        EXPECT_FALSE(parse(body)) << body;
    // Versions of more than four pieces or pieces of more than four digits, empty pieces, signs,
    // blanks, letters, other digits.
    for (const char* version : {"1.2.3.4.5", "v1.2", "12345", "1.12345", "", "1..2", "1.", ".1",
                                "-1", "+1", " 1.0", "1.0\\n", "1.0a", "1,0", "\uFF11", "1\\u0000"})
        EXPECT_FALSE(parse(std::string(R"({"version":")") + version + "\"}")) << version;
}

TEST(ManifestTest, BodyOf16384BytesIsRejectedBeforeParsing) {
    const std::string under = manifestOfSize("2.0", 16'383);
    const std::string at = manifestOfSize("2.0", 16'384);
    ASSERT_EQ(under.size(), 16'383u);
    ASSERT_EQ(at.size(), 16'384u);
    ASSERT_TRUE(parse(under).has_value());
    EXPECT_EQ(parse(under)->version, "2.0");
    EXPECT_FALSE(parse(at).has_value());
    EXPECT_FALSE(parse(manifestOfSize("2.0", 100'000)).has_value());
}

TEST(ManifestTest, DeepNestingIsRejectedWithoutCrashing) {
    const std::string nested = std::string(8'000, '[') + std::string(8'000, ']');
    EXPECT_FALSE(parse(nested).has_value());
    const std::string unclosed = "{\"version\":\"1\",\"x\":" + std::string(16'000, '[');
    EXPECT_FALSE(parse(unclosed).has_value());
    const std::string deepNotes =
        "{\"version\":\"1\",\"x\":" + std::string(7'000, '[') + std::string(7'000, ']') + "}";
    ASSERT_TRUE(parse(deepNotes).has_value());
}

TEST(ManifestTest, NotesOfWhiteSpaceOnlyAreAbsent) {
    for (const char* notes : {"", " ", R"( \n\r\n\t )", R"(\u00a0\u2028\u2029\u3000)"}) {
        const auto manifest = parse(std::string(R"({"version":"2","notes":")") + notes + "\"}");
        ASSERT_TRUE(manifest.has_value()) << notes;
        EXPECT_FALSE(manifest->notes.has_value()) << notes;
    }
}

TEST(ManifestTest, NotesAreCutAt400CharactersBeforeTrimming) {
    // 399 spaces then "ab": the 400th character is "a", so "b" is cut even though trimming first
    // would have left room for it.
    auto manifest = parse(R"({"version":"2","notes":")" + std::string(399, ' ') + "ab\"}");
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->notes, "a");

    manifest = parse(R"({"version":"2","notes":")" + std::string(500, 'x') + "\"}");
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->notes, std::string(400, 'x'));

    // Exactly 400 is kept whole; the trailing blank after it is cut anyway.
    manifest = parse(R"({"version":"2","notes":")" + std::string(400, 'y') + " z\"}");
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->notes, std::string(400, 'y'));
}

TEST(ManifestTest, CombiningMarksCountWithTheirBase) {
    std::string notes;
    for (int i = 0; i < 450; ++i)
        notes += "e\u0301";  // é as e + combining acute
    const auto manifest = parse(R"({"version":"2","notes":")" + notes + "\"}");
    ASSERT_TRUE(manifest.has_value());
    ASSERT_TRUE(manifest->notes.has_value());
    EXPECT_EQ(manifest->notes->size(), 400u * 3);  // 400 clusters of 1 + 2 bytes
    EXPECT_EQ(manifest->notes->substr(manifest->notes->size() - 3), "e\u0301");

    std::string flags;
    for (int i = 0; i < 401; ++i)
        flags += "\U0001F1EB\U0001F1F7";
    const auto withFlags = parse(R"({"version":"2","notes":")" + flags + "\"}");
    ASSERT_TRUE(withFlags.has_value());
    EXPECT_EQ(withFlags->notes->size(), 400u * 8);
}

// Numeric pieces compared in order; a later patch running is up to date; signs count; garbage
// pieces ("x", "2beta", "+", " 2") count as 0; doubled, leading and trailing dots add nothing;
// numbers beyond the 64-bit range count as 0.
TEST(IsNewerTest, ComparesNumericPiecesInOrder) {
    const struct {
        const char* candidate;
        const char* current;
        bool newer;
    } cases[] = {{"1.10", "1.9", true},   {"1.9", "1.10", false},    {"1.2", "1.2.0", false},
                 {"1.2.0", "1.2", false}, {"1.2", "1.2", false},     {"1.2.1", "1.2", true},
                 {"1.2", "1.2.1", false}, {"2.0", "1.9.3", true},    {"0.0.1", "0", true},
                 {"0.0", "0", false},     {"1", "", true},           {"", "", false},
                 {"+2", "1", true},       {"-1", "0", false},        {"0", "-1", true},
                 {"1.-1", "1", false},    {"1.+0", "1", false},      {"1.x", "1", false},
                 {"1.x", "0.9", true},    {"1.2beta", "1.1", false}, {"1.+", "1", false},
                 {"1.-", "1", false},     {"1.+-1", "1", false},     {"1. 2", "1", false},
                 {"1.2", "1.1rc", true},  {"1..2", "1.1", true},     {".1.2.", "1.2", false},
                 {"...", "0", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(UpdateChecker::isNewer(c.candidate, c.current), c.newer)
            << "\"" << c.candidate << "\" vs \"" << c.current << "\"";
    }
    EXPECT_TRUE(UpdateChecker::isNewer("9223372036854775807", "9223372036854775806"));
    EXPECT_FALSE(UpdateChecker::isNewer("-9223372036854775808", "0"));
    EXPECT_FALSE(UpdateChecker::isNewer("9223372036854775808", "1"));
    EXPECT_FALSE(UpdateChecker::isNewer("99999999999999999999", "0"));
}

// A fetcher whose transfers the test completes, from any thread.
class FakeFetcher final : public HttpFetcher {
  public:
    void fetch(Request request, Completion done) override {
        requests.push_back(std::move(request));
        completions.push_back(std::move(done));
    }
    std::vector<Request> requests;
    std::vector<Completion> completions;
};

class CheckForUpdatesTest : public ::testing::Test {
  protected:
    UpdateChecker::Environment environment(std::string current = "1.9.3") {
        UpdateChecker::Environment env;
        env.fetcher = fetcher;
        env.presenter = presenter;
        env.openURL = [this](const std::string& url) { opened.push_back(url); };
        env.queue = queue;
        env.currentVersion = std::move(current);
        return env;
    }

    // Runs one check whose fetch ends with `response`, answering the alert with `choice`.
    Alert runCheck(std::optional<HttpFetcher::Response> response, std::string current = "1.9.3",
                   std::optional<std::size_t> choice = 0) {
        presenter->choice = choice;
        bool finished = false;
        UpdateChecker::checkForUpdates(environment(std::move(current)), [&] { finished = true; });
        EXPECT_EQ(fetcher->completions.size(), 1u);
        fetcher->completions.back()(std::move(response));
        clock.runUntilIdle();
        EXPECT_TRUE(finished);
        const auto alerts = presenter->alerts();
        return alerts.empty() ? Alert{} : alerts.back();
    }

    static HttpFetcher::Response ok(std::string_view body) { return {200, bytesOf(body)}; }

    ManualClock clock;
    std::shared_ptr<SerialQueue> queue = clock.makeQueue("main");
    std::shared_ptr<FakeFetcher> fetcher = std::make_shared<FakeFetcher>();
    std::shared_ptr<RecordingPresenter> presenter = std::make_shared<RecordingPresenter>();
    std::vector<std::string> opened;
};

const Alert failure{"Couldn't check for updates",
                    "Check your internet connection, or visit panelora.app/panelora for the "
                    "latest version.",
                    {"Open Website", "OK"}};

TEST_F(CheckForUpdatesTest, FetchesTheManifestWithoutCacheWithin10Seconds) {
    UpdateChecker::checkForUpdates(environment());
    ASSERT_EQ(fetcher->requests.size(), 1u);
    EXPECT_EQ(fetcher->requests[0].url, "https://panelora.app/downloads/panelora.json");
    EXPECT_EQ(fetcher->requests[0].timeout, std::chrono::seconds(10));
    // Enough to see that a body is too long, no more.
    EXPECT_EQ(fetcher->requests[0].maxBodyBytes, 16'384u);
}

TEST_F(CheckForUpdatesTest, EveryFailureShowsTheFailureAlert) {
    const std::optional<HttpFetcher::Response> failures[] = {
        std::nullopt,                                               // transport failure or timeout
        HttpFetcher::Response{404, bytesOf(R"({"version":"9"})")},  // valid body, wrong status
        HttpFetcher::Response{500, {}},
        HttpFetcher::Response{204, {}},
        HttpFetcher::Response{301, bytesOf(R"({"version":"9"})")},
        ok(manifestOfSize("9", 16'384)),
        ok("<html>"),
        ok(R"(["9"])"),
        ok(R"({"version":9})"),
        ok(R"({"version":"1.2.3.4.5"})"),
    };
    for (const auto& response : failures) {
        fetcher->completions.clear();
        EXPECT_EQ(runCheck(response), failure);
    }
}

// Notes, trimmed, come before the version sentence.
TEST_F(CheckForUpdatesTest, UpToDateOrUpdateAlerts) {
    const Alert upToDate{"Panelora is up to date", "You have the latest version, 1.2.1.", {"OK"}};
    const Alert update{
        "Panelora 2.0 is available", "You have version 1.2.1.", {"Download", "Later"}};
    const struct {
        const char* current;
        const char* body;
        Alert expected;
    } cases[] = {
        {"1.2.1", R"({"version":"1.2.1"})", upToDate},
        {"1.2.1", R"({"version":"1.2"})", upToDate},
        {"1.2.1", R"({"version":"1.2.0.0","notes":"n"})", upToDate},
        {"1.2.1", R"({"version":"0.9"})", upToDate},
        {"1.2.1", R"({"version":"2.0"})", update},
        {"1.2.1", R"({"version":"2.0","notes":" \n "})", update},
        {"1.9.3",
         R"({"version":"1.10","notes":"\nFaster start-up.\nFewer dropped frames.\n"})",
         {"Panelora 1.10 is available",
          "Faster start-up.\nFewer dropped frames.\n\nYou have version 1.9.3.",
          {"Download", "Later"}}},
        // Running version 0 makes any non-zero manifest newer.
        {"0",
         R"({"version":"0.0.1"})",
         {"Panelora 0.0.1 is available", "You have version 0.", {"Download", "Later"}}},
        {"0",
         R"({"version":"0.0"})",
         {"Panelora is up to date", "You have the latest version, 0.", {"OK"}}},
    };
    for (const auto& c : cases) {
        fetcher->completions.clear();
        EXPECT_EQ(runCheck(ok(c.body), c.current), c.expected) << c.body;
    }
}

TEST_F(CheckForUpdatesTest, OnlyTheFirstButtonOfATwoButtonAlertOpensTheProductPage) {
    struct Case {
        const char* name;
        std::optional<HttpFetcher::Response> response;
        std::optional<std::size_t> choice;
        bool opens;
    } const cases[] = {
        {"failure, Open Website", std::nullopt, 0, true},
        {"failure, OK", std::nullopt, 1, false},
        {"failure, closed", std::nullopt, std::nullopt, false},
        {"up to date, OK", ok(R"({"version":"1.9.3"})"), 0, false},
        {"up to date, closed", ok(R"({"version":"1.9.3"})"), std::nullopt, false},
        {"update, Download", ok(R"({"version":"2"})"), 0, true},
        {"update, Later", ok(R"({"version":"2"})"), 1, false},
        {"update, closed", ok(R"({"version":"2"})"), std::nullopt, false},
    };
    for (const auto& c : cases) {
        fetcher->completions.clear();
        opened.clear();
        runCheck(c.response, "1.9.3", c.choice);
        if (c.opens) {
            EXPECT_EQ(opened, std::vector<std::string>{"https://panelora.app/panelora"}) << c.name;
        } else {
            EXPECT_TRUE(opened.empty()) << c.name;
        }
    }
}

TEST_F(CheckForUpdatesTest, AlertShowsOnTheQueueAfterBringingTheAppForward) {
    bool finished = false;
    presenter->answerLater = true;
    UpdateChecker::checkForUpdates(environment(), [&] { finished = true; });
    ASSERT_EQ(fetcher->completions.size(), 1u);

    // The fetch ends on another thread; nothing is shown until the queue runs.
    std::thread([&] { fetcher->completions[0](ok(R"({"version":"2"})")); }).join();
    EXPECT_TRUE(presenter->events().empty());
    clock.runUntilIdle();
    EXPECT_EQ(presenter->events(), (std::vector<std::string>{"activate", "present"}));

    // The check ends when the alert is dismissed, not before.
    EXPECT_FALSE(finished);
    presenter->answer(0);
    EXPECT_TRUE(finished);
    EXPECT_EQ(opened.size(), 1u);
}

TEST_F(CheckForUpdatesTest, NothingIsShownOnceThePresenterIsGone) {
    bool finished = false;
    UpdateChecker::checkForUpdates(environment(), [&] { finished = true; });
    presenter.reset();
    fetcher->completions[0](std::nullopt);
    clock.runUntilIdle();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(opened.empty());
}

TEST_F(CheckForUpdatesTest, ResultForAQueueThatIsGoneIsDropped) {
    bool finished = false;
    const auto recorder = presenter;
    UpdateChecker::checkForUpdates(environment(), [&] { finished = true; });
    queue.reset();
    fetcher->completions[0](ok(R"({"version":"2"})"));
    clock.runUntilIdle();
    EXPECT_FALSE(finished);
    EXPECT_TRUE(recorder->alerts().empty());
}

TEST_F(CheckForUpdatesTest, MissingFetcherShowsTheFailureAlert) {
    auto env = environment();
    env.fetcher = nullptr;
    UpdateChecker::checkForUpdates(env);
    clock.runUntilIdle();
    ASSERT_EQ(presenter->alerts().size(), 1u);
    EXPECT_EQ(presenter->alerts()[0], failure);
}

}  // namespace
}  // namespace panelora::test
