#include "update/update_checker.h"

#include "support/manual_clock.h"
#include "test_prelude.h"
#include "update/alert_presenter.h"
#include "update/user_text.h"

namespace panelora::test {
namespace {

// `{"version":"<version>","pad":"<spaces>"}` padded to exactly `size` bytes.
std::string manifestOfSize(std::string_view version, std::size_t size) {
    const std::string head = "{\"version\":\"" + std::string(version) + "\",\"pad\":\"";
    const std::string tail = "\"}";
    return head + std::string(size - head.size() - tail.size(), ' ') + tail;
}

// Records what the check shows and answers every alert with `choice`, at once (as a nested modal
// loop would) or, with `answerLater`, only when the test calls answer().
class RecordingPresenter final : public AlertPresenter {
  public:
    void activateApplication() override { events.push_back("activate"); }
    void present(const Alert& alert,
                 std::function<void(std::optional<std::size_t>)> done) override {
        events.push_back("present");
        alerts.push_back(alert);
        if (answerLater) {
            pending_ = std::move(done);
        } else {
            done(choice);
        }
    }
    void answer(std::optional<std::size_t> chosen) { std::exchange(pending_, nullptr)(chosen); }

    std::optional<std::size_t> choice = 0;
    bool answerLater = false;
    std::vector<Alert> alerts;
    std::vector<std::string> events;

  private:
    std::function<void(std::optional<std::size_t>)> pending_;
};

std::optional<UpdateChecker::Manifest> parse(std::string_view text) {
    return UpdateChecker::parseManifest(bytesOf(text));
}

// A manifest of version 2 with these notes.
std::string notes(const std::string& text) {
    return R"({"version":"2","notes":")" + text + "\"}";
}

TEST(ManifestTest, AcceptsWellFormedManifests) {
    std::string marked;  // a base and its mark, 450 times
    for (int i = 0; i < 450; ++i)
        marked += "e\u0301";
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
        {R"({"version":"3","notes":" \n Line one\nLine two \t"})", {"3", "Line one\nLine two"}},
        // Notes of white space only are absent.
        {notes(""), {"2", std::nullopt}},
        {notes(R"( \n\r\n\t )"), {"2", std::nullopt}},
        {notes(R"(\u00a0\u2028\u2029\u3000)"), {"2", std::nullopt}},
        // Cut at 400 characters before trimming: the 400th is "a", so "b" goes although
        // trimming first would have left room for it; exactly 400 are kept whole.
        {notes(std::string(399, ' ') + "ab"), {"2", "a"}},
        {notes(std::string(500, 'x')), {"2", std::string(400, 'x')}},
        {notes(std::string(400, 'y') + " z"), {"2", std::string(400, 'y')}},
        // Counted in user-perceived characters, a base and its marks as one.
        {notes(marked), {"2", marked.substr(0, 400 * 3)}},
    };
    for (const auto& c : cases) {
        const auto manifest = parse(c.body);
        ASSERT_TRUE(manifest.has_value()) << c.body;
        EXPECT_EQ(*manifest, c.expected) << c.body;
    }
}

// Not JSON, not an object, a version missing or not a string; ill-formed UTF-8 and lone
// surrogates. Versions of more than four pieces or pieces of more than four digits, empty pieces,
// signs, blanks, letters, other digits. A body of 16384 bytes is rejected before parsing; deep
// nesting without a crash.
TEST(ManifestTest, RejectsBrokenManifests) {
    for (const std::string& body : std::vector<std::string>{
             "", "not json", R"(["1.0"])", R"({})", R"({"version":1.0})", R"({"Version":"1.0"})",
             "{\"version\":\"1\",\"notes\":\"\xFF\xFE\"}", R"({"version":"1","notes":"\ud800"})",
             manifestOfSize("2.0", 16'384), std::string(8'000, '[') + std::string(8'000, ']')})
        EXPECT_FALSE(parse(body)) << body.substr(0, 40);
    for (const char* version : {"1.2.3.4.5", "v1.2", "12345", "1.12345", "", "1..2", "1.", ".1",
                                "-1", " 1.0", "1.0a", "1,0", "\uFF11"})
        EXPECT_FALSE(parse(std::string(R"({"version":")") + version + "\"}")) << version;
    ASSERT_TRUE(parse(manifestOfSize("2.0", 16'383)));
    EXPECT_TRUE(parse("{\"version\":\"1\",\"x\":" + std::string(7'000, '[') +
                      std::string(7'000, ']') + "}"));
}

// Numeric pieces compared in order; a later patch running is up to date; signs count; garbage
// pieces ("x", "2beta", "+", " 2") count as 0; doubled, leading and trailing dots add nothing;
// numbers beyond the 64-bit range count as 0.
TEST(IsNewerTest, ComparesNumericPiecesInOrder) {
    // clang-format off
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
                 {"...", "0", false},     {"99999999999999999999", "0", false},
                 {"9223372036854775807", "9223372036854775806", true},
                 {"-9223372036854775808", "0", false}, {"9223372036854775808", "1", false}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(UpdateChecker::isNewer(c.candidate, c.current), c.newer)
            << "\"" << c.candidate << "\" vs \"" << c.current << "\"";
    }
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
    UpdateChecker::Environment environment() {
        UpdateChecker::Environment env;
        env.fetcher = fetcher;
        env.presenter = presenter;
        env.openURL = [this](const std::string& url) { opened.push_back(url); };
        env.queue = queue;
        env.currentVersion = "1.9.3";
        return env;
    }

    // Runs one check whose fetch ends with `response`, answering the alert with `choice`.
    Alert runCheck(std::optional<HttpFetcher::Response> response,
                   std::optional<std::size_t> choice) {
        fetcher->completions.clear();
        opened.clear();
        presenter->choice = choice;
        bool finished = false;
        UpdateChecker::checkForUpdates(environment(), [&] { finished = true; });
        EXPECT_EQ(fetcher->completions.size(), 1u);
        fetcher->completions.back()(std::move(response));
        clock.runUntilIdle();
        EXPECT_TRUE(finished);
        return presenter->alerts.empty() ? Alert{} : presenter->alerts.back();
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

// Any failure (no answer, a status other than 200, a manifest that is not accepted) shows the
// failure alert; notes, trimmed, come before the version sentence. Only the first button of a
// two-button alert opens the product page.
TEST_F(CheckForUpdatesTest, AlertsAndTheirButtons) {
    const Alert upToDate{"Panelora is up to date", "You have the latest version, 1.9.3.", {"OK"}};
    const Alert update{
        "Panelora 2.0 is available", "You have version 1.9.3.", {"Download", "Later"}};
    const std::string newer = R"({"version":"2.0"})";
    const struct {
        std::optional<HttpFetcher::Response> response;
        Alert expected;
        std::optional<std::size_t> choice = 1;
        bool opens = false;
    } cases[] = {
        {std::nullopt, failure, 0, true},
        {std::nullopt, failure, std::nullopt},
        {std::nullopt, failure},
        {HttpFetcher::Response{404, bytesOf(newer)}, failure},
        {HttpFetcher::Response{204, {}}, failure},
        {HttpFetcher::Response{301, bytesOf(newer)}, failure},
        {ok("<html>"), failure},  // the manifest's own rejections: ManifestTest
        {ok(R"({"version":"1.9.3"})"), upToDate, 0},
        {ok(R"({"version":"1.9"})"), upToDate, std::nullopt},
        {ok(R"({"version":"1.9.3.0","notes":"n"})"), upToDate},
        {ok(newer), update, 0, true},
        {ok(newer), update, std::nullopt},
        {ok(R"({"version":"2.0","notes":" \n "})"), update},
        {ok(R"({"version":"2.0","notes":"\nFaster start-up.\nFewer dropped frames.\n"})"),
         {update.messageText, "Faster start-up.\nFewer dropped frames.\n\nYou have version 1.9.3.",
          update.buttons}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(runCheck(c.response, c.choice), c.expected);
        EXPECT_EQ(opened, c.opens ? std::vector<std::string>{"https://panelora.app/panelora"}
                                  : std::vector<std::string>{});
    }
}

// The manifest is asked for with a 10 s limit and a body limit one past the largest accepted.
TEST_F(CheckForUpdatesTest, AlertShowsOnTheQueueAfterBringingTheAppForward) {
    bool finished = false;
    presenter->answerLater = true;
    UpdateChecker::checkForUpdates(environment(), [&] { finished = true; });
    ASSERT_EQ(fetcher->completions.size(), 1u);
    const HttpFetcher::Request& request = fetcher->requests[0];
    EXPECT_EQ(std::tie(request.url, request.timeout, request.maxBodyBytes),
              std::tuple("https://panelora.app/downloads/panelora.json", 10s, 16'384u));

    // The fetch ends on another thread; nothing is shown until the queue runs.
    std::thread([&] { fetcher->completions[0](ok(R"({"version":"2"})")); }).join();
    EXPECT_TRUE(presenter->events.empty());
    clock.runUntilIdle();
    EXPECT_EQ(presenter->events, (std::vector<std::string>{"activate", "present"}));

    // The check ends when the alert is dismissed, not before.
    EXPECT_FALSE(finished);
    presenter->answer(0);
    EXPECT_TRUE(finished);
    EXPECT_EQ(opened.size(), 1u);
}

// With the presenter gone nothing is shown, but the check ends; with the queue gone the result
// is dropped; without a fetcher the failure is shown.
TEST_F(CheckForUpdatesTest, GonePresenterQueueOrFetcher) {
    int finished = 0;
    UpdateChecker::checkForUpdates(environment(), [&] { ++finished; });
    presenter.reset();
    fetcher->completions[0](std::nullopt);
    clock.runUntilIdle();
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(opened.empty());

    presenter = std::make_shared<RecordingPresenter>();
    UpdateChecker::checkForUpdates(environment(), [&] { ++finished; });
    queue.reset();
    fetcher->completions[1](ok(R"({"version":"2"})"));
    clock.runUntilIdle();
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(presenter->alerts.empty());

    queue = clock.makeQueue("main");
    auto env = environment();
    env.fetcher = nullptr;
    UpdateChecker::checkForUpdates(env);
    clock.runUntilIdle();
    EXPECT_EQ(presenter->alerts, std::vector<Alert>{failure});
}

// Marks attach to their base (not to a control or at the start); CR LF is one; flags pair their
// regional indicators; ZWJ sequences, skin tones, variation selectors and tag sequences are one;
// each invalid byte is one, and a mark after it attaches.
TEST(UserTextTest, CountsUserPerceivedCharacters) {
    // clang-format off
    const std::pair<std::string, size_t> cases[] = {
        {"", 0}, {"abc", 3}, {"e\u0301", 1}, {"a\u0301\u0302\u0323b", 2},
        {"x\u1AB0\u1DC0\u20D0\uFE20", 1}, {"\r\n", 1}, {"\n\r", 2}, {"\n\u0301", 2}, {"\u0301a", 2},
        {"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA", 2}, {"\U0001F1EB\U0001F1F7\U0001F1E9", 2},
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1}, {"\U0001F44D\U0001F3FD", 1},
        {"\u2764\uFE0F", 1}, {"\u845B\U000E0100", 1},
        {"\U0001F3F4\U000E0067\U000E0062\U000E007F", 1}, {"a\u200D", 1}, {"a\u200D\n", 2},
        {"\u65E5\u672C", 2}, {"\xFF\xFE", 2}, {"a\x80z", 3}, {"\xE2\x82", 2}, {"a\xCC", 2},
        {"\xC0\xAF", 2}, {"\xE0\x80\xAF", 3}, {"\xED\xA0\x80", 3}, {"\xF4\x90\x80\x80", 4},
        {"\xF8\x88\x80\x80\x80", 5}, {"\xFF\u0301", 1},
    };
    // clang-format on
    for (const auto& [text, characters] : cases)
        EXPECT_EQ(UserText::characterCount(text), characters) << text;
}

TEST(UserTextTest, PrefixNeverSplitsACharacter) {
    // clang-format off
    const std::tuple<std::string, size_t, std::string> cases[] = {
        {"e\u0301xyz", 1, "e\u0301"}, {"\r\nab", 1, "\r\n"}, {"abc", 0, ""}, {"abc", 10, "abc"},
        {"\U0001F468\u200D\U0001F469!", 1, "\U0001F468\u200D\U0001F469"}, {"\xE2\x82", 1, "\xE2"}};
    // clang-format on
    for (const auto& [text, count, prefix] : cases)
        EXPECT_EQ(UserText::prefixOfCharacters(text, count), prefix) << text;
}

// Unicode white space and line breaks at both ends; a zero-width space is a format character.
TEST(UserTextTest, TrimsUnicodeWhiteSpaceAndLineBreaksAtBothEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"  a b \n", "a b"},
        {"\t\v\f\r\n x", "x"},
        {"\u00A0\u2028x\u2029\u3000", "x"},
        {"\u1680\u2000\u200A\u202F\u205F\u0085y", "y"},
        {" \n\u00A0 ", ""},
        {"\xFF ", "\xFF"},
        {" a\u0301 ", "a\u0301"},
        {"\u200B", "\u200B"}};
    for (const auto& [in, out] : cases)
        EXPECT_EQ(UserText::trimmed(in), out) << in;
}

}  // namespace
}  // namespace panelora::test
