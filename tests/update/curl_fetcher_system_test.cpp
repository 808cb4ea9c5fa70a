// The libcurl fetcher and the whole check against real local HTTPS servers.
#include <poll.h>

#include "https_test_server.h"
#include "platform/linux/curl/curl_http_fetcher.h"
#include "support/serial_queue.h"
#include "test_prelude.h"
#include "update/update_checker.h"
#include "update_fakes.h"

namespace panelora::test {
namespace {

const std::string validManifest = R"({"version":"2.0","notes":"Sharper text."})";

class CurlFetcherSystemTest : public ::testing::Test {
  protected:
    // Made once per test program.
    static const TestPKI& pki() {
        static const TempDir dir;
        static const TestPKI pki = TestPKI::create(dir.path());
        return pki;
    }

    // A fetcher that trusts only the test authority and fetches `url` whatever it is asked for.
    static std::shared_ptr<CurlHttpFetcher> fetcherFor(const std::string& url,
                                                       const std::filesystem::path& ca) {
        return std::make_shared<CurlHttpFetcher>(CurlHttpFetcher::Options{ca.string(), url});
    }
    std::shared_ptr<CurlHttpFetcher> fetcherFor(const std::string& name) {
        return fetcherFor(server.url(name), pki().caCert);
    }

    // One fetch, waited for.
    static std::optional<HttpFetcher::Response> fetch(HttpFetcher& fetcher,
                                                      HttpFetcher::Request request = {
                                                          UpdateChecker::manifestURL()}) {
        std::promise<std::optional<HttpFetcher::Response>> result;
        auto future = result.get_future();
        fetcher.fetch(std::move(request), [&](std::optional<HttpFetcher::Response> r) {
            result.set_value(std::move(r));
        });
        if (future.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "fetch never completed";
            return std::nullopt;
        }
        return future.get();
    }

    // One whole check through the fetcher; returns the alert shown (running version 1.9.3).
    Alert check(std::shared_ptr<HttpFetcher> fetcher) {
        UpdateChecker::Environment env;
        env.fetcher = std::move(fetcher);
        env.presenter = presenter;
        env.queue = queue;
        env.currentVersion = "1.9.3";
        std::promise<void> finished;
        auto done = finished.get_future();
        UpdateChecker::checkForUpdates(env, [&] { finished.set_value(); });
        if (done.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "check never finished";
            return {};
        }
        const auto alerts = presenter->alerts();
        return alerts.empty() ? Alert{} : alerts.back();
    }

    HttpsServer server{pki().serverCert, pki().serverKey};
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("test.main");
    std::shared_ptr<RecordingPresenter> presenter = std::make_shared<RecordingPresenter>();
};

const Alert failure = UpdateChecker::failureAlert();

// The whole check over HTTPS; a huge body is cut at the limit rather than read to the end.
TEST_F(CurlFetcherSystemTest, UpdateAvailableEndToEndAndTheBodyLimit) {
    ASSERT_TRUE(server.running());
    server.serve("m.json", "200 OK", validManifest);
    EXPECT_EQ(check(fetcherFor("m.json")), (Alert{"Panelora 2.0 is available",
                                                  "Sharper text.\n\nYou have version 1.9.3.",
                                                  {"Download", "Later"}}));
    const std::string huge = manifestOfSize("2.0", 4 * 1024 * 1024);
    server.serve("huge.json", "200 OK", huge);
    const auto response =
        fetch(*fetcherFor("huge.json"), {UpdateChecker::manifestURL(), 10s, 16'384});
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->statusCode, 200);
    EXPECT_EQ(std::string(response->body.begin(), response->body.end()), huge.substr(0, 16'384));
    EXPECT_EQ(check(fetcherFor("huge.json")), failure);
}

// A 404 is an answer (which the check takes for a failure); a certificate that the trusted
// authority did not sign, or that names another host, gives none.
TEST_F(CurlFetcherSystemTest, StatusAndCertificateDecideTheAnswer) {
    HttpsServer wrongHost(pki().wrongHostCert, pki().wrongHostKey);
    ASSERT_TRUE(server.running() && wrongHost.running());
    server.serve("m.json", "404 Not Found", validManifest);
    wrongHost.serve("m.json", "200 OK", validManifest);
    const auto notFound = fetch(*fetcherFor("m.json"));
    ASSERT_TRUE(notFound.has_value());
    EXPECT_EQ(notFound->statusCode, 404);
    EXPECT_FALSE(fetch(*fetcherFor(server.url("m.json"), pki().strangerCA)).has_value());
    EXPECT_FALSE(fetch(*fetcherFor(wrongHost.url("m.json"), pki().caCert)).has_value());
}

// Plain HTTP is never spoken, not even after a redirect; HTTPS redirects are followed, a few at
// most.
TEST_F(CurlFetcherSystemTest, OnlyHttpsIsSpokenAndFollowed) {
    ASSERT_TRUE(server.running());
    uint16_t port = 0;
    UniqueFd plain = bindLoopback(port);  // takes connections, never answers
    const std::string plainURL = "http://127.0.0.1:" + std::to_string(port) + "/m.json";
    EXPECT_FALSE(fetch(*fetcherFor(plainURL, pki().caCert)).has_value());
    server.serve("to-http.json", "302 Found", "", "Location: " + plainURL + "\r\n");
    EXPECT_FALSE(fetch(*fetcherFor("to-http.json")).has_value());
    pollfd pending{plain.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0) << "a connection came in over plain HTTP";

    server.serve("m.json", "200 OK", validManifest);
    server.serve("moved.json", "301 Moved Permanently", "", "Location: /m.json\r\n");
    const auto moved = fetch(*fetcherFor("moved.json"));
    ASSERT_TRUE(moved.has_value());
    EXPECT_EQ(moved->statusCode, 200);
    server.serve("loop.json", "302 Found", "", "Location: /loop.json\r\n");
    EXPECT_FALSE(fetch(*fetcherFor("loop.json")).has_value());
}

// A server that takes the connection and never answers: destroying the fetcher aborts the
// transfer at once and drops its result; left alone, the check fails after 10 s.
TEST_F(CurlFetcherSystemTest, SilentServer) {
    uint16_t port = 0;
    UniqueFd silent = bindLoopback(port);
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/m.json";
    auto fetcher = fetcherFor(url, pki().caCert);
    std::atomic<bool> completed{false};
    fetcher->fetch({UpdateChecker::manifestURL()}, [&](auto) { completed = true; });
    std::this_thread::sleep_for(200ms);
    auto start = std::chrono::steady_clock::now();
    fetcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(completed);

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(check(fetcherFor(url, pki().caCert)), failure);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9500ms);
}

}  // namespace
}  // namespace panelora::test
