// The libcurl fetcher against real local HTTPS servers.
#include <poll.h>

#include "child_process.h"
#include "platform/linux/curl/curl_http_fetcher.h"
#include "test_prelude.h"
#include "update/update_checker.h"

namespace panelora::test {
namespace {

// Local servers: a test certificate authority made with the openssl command at run time, and
// `openssl s_server -HTTP` serving canned HTTPS responses (GET /<name> answers with the file
// <name> of its folder verbatim, status line and headers included) on a free 127.0.0.1 port.
namespace fs = std::filesystem;

// Runs one openssl command in `dir`, its output appended to dir/openssl.log.
bool openssl(const fs::path& dir, const std::string& arguments) {
    const std::string command =
        "cd '" + dir.string() + "' && openssl " + arguments + " >>openssl.log 2>&1 </dev/null";
    return std::system(command.c_str()) == 0;
}

// The test authority ca.pem signed server.pem (for 127.0.0.1 and localhost) and wronghost.pem
// (for example.invalid); stranger.pem signed nothing here. Each key is <name>.key beside it.
// Fails the calling test when openssl does.
fs::path makeTestPKI(const fs::path& dir) {
    const std::string req = "req -x509 -days 2 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const std::string ca =
        " -addext basicConstraints=critical,CA:TRUE"
        " -addext keyUsage=critical,keyCertSign,cRLSign";
    auto server = [&](const std::string& name, const std::string& altNames) {
        return openssl(dir, req + " -keyout " + name + ".key -out " + name +
                                ".pem -subj /CN=" + name +
                                " -CA ca.pem -CAkey ca.key -addext subjectAltName=" + altNames +
                                " -addext basicConstraints=critical,CA:FALSE"
                                " -addext keyUsage=critical,digitalSignature"
                                " -addext extendedKeyUsage=serverAuth");
    };
    const bool ok =
        openssl(dir, req + " -keyout ca.key -out ca.pem -subj '/CN=Test CA'" + ca) &&
        openssl(dir, req + " -keyout stranger.key -out stranger.pem -subj /CN=x" + ca) &&
        server("server", "IP:127.0.0.1,DNS:localhost") &&
        server("wronghost", "DNS:example.invalid");
    if (!ok)
        ADD_FAILURE() << "making the test certificates failed:\n" << readFile(dir / "openssl.log");
    return dir;
}

class HttpsServer {
  public:
    // Serves with the certificate <name>.pem of `pki`.
    HttpsServer(const fs::path& pki, const std::string& name) {
        // The port is free when picked but could be taken before the server binds it: then the
        // server exits and another port is tried.
        for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
            bindLoopback(port_, false);
            auto process = ChildProcess::start(
                {"/bin/sh", "-c",
                 "cd '" + root_.path().string() +
                     "' && exec openssl s_server -HTTP -quiet -accept 127.0.0.1:" +
                     std::to_string(port_) + " -cert '" + (pki / name).string() + ".pem' -key '" +
                     (pki / name).string() + ".key'"},
                ChildProcess::Options().stderrMerged().stdoutTo(root_.file("s_server.log")));
            if (process &&
                eventually([&] { return connectLoopback(port_) || !process->running(); },
                           std::chrono::seconds(10)) &&
                process->running()) {
                process_ = std::move(process);
            }
        }
        if (!process_)
            ADD_FAILURE() << "openssl s_server did not start:\n"
                          << readFile(root_.file("s_server.log"));
    }
    bool running() const { return process_ != nullptr; }
    std::string url(const std::string& name) const {
        return "https://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }
    // Serves `body` as GET /<name> with the given status line, e.g. "200 OK".
    void serve(const std::string& name, const std::string& status, const std::string& body,
               const std::string& extraHeaders = "") {
        writeFile(root_.path() / name, "HTTP/1.0 " + status +
                                           "\r\nContent-Type: application/json\r\n" + extraHeaders +
                                           "\r\n" + body);
    }

  private:
    TempDir root_;
    uint16_t port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

const std::string validManifest = R"({"version":"2.0","notes":"Sharper text."})";

class CurlFetcherSystemTest : public ::testing::Test {
  protected:
    // Made once per test program.
    static const fs::path& pki() {
        static const TempDir dir;
        static const fs::path pki = makeTestPKI(dir.path());
        return pki;
    }

    // A fetcher that trusts only `ca` and fetches `url` whatever it is asked for.
    static std::shared_ptr<CurlHttpFetcher> fetcherFor(const std::string& url,
                                                       const std::string& ca = "ca.pem") {
        return std::make_shared<CurlHttpFetcher>(
            CurlHttpFetcher::Options{(pki() / ca).string(), url});
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

    HttpsServer server{pki(), "server"};
};

// A huge body is cut at the limit rather than read to the end.
TEST_F(CurlFetcherSystemTest, TheBodyIsCutAtTheLimit) {
    ASSERT_TRUE(server.running());
    const std::string huge(4 * 1024 * 1024, 'x');
    server.serve("huge.json", "200 OK", huge);
    const auto response =
        fetch(*fetcherFor(server.url("huge.json")), {UpdateChecker::manifestURL(), 10s, 16'384});
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->statusCode, 200);
    EXPECT_EQ(std::string(response->body.begin(), response->body.end()), huge.substr(0, 16'384));
}

// A 404 is an answer (which the check takes for a failure); a certificate that the trusted
// authority did not sign, or that names another host, gives none.
TEST_F(CurlFetcherSystemTest, StatusAndCertificateDecideTheAnswer) {
    HttpsServer wrongHost(pki(), "wronghost");
    ASSERT_TRUE(server.running() && wrongHost.running());
    server.serve("m.json", "404 Not Found", validManifest);
    wrongHost.serve("m.json", "200 OK", validManifest);
    const auto notFound = fetch(*fetcherFor(server.url("m.json")));
    ASSERT_TRUE(notFound.has_value());
    EXPECT_EQ(notFound->statusCode, 404);
    EXPECT_FALSE(fetch(*fetcherFor(server.url("m.json"), "stranger.pem")).has_value());
    EXPECT_FALSE(fetch(*fetcherFor(wrongHost.url("m.json"))).has_value());
}

// Plain HTTP is never spoken, not even after a redirect; HTTPS redirects are followed, a few at
// most.
TEST_F(CurlFetcherSystemTest, OnlyHttpsIsSpokenAndFollowed) {
    ASSERT_TRUE(server.running());
    uint16_t port = 0;
    UniqueFd plain = bindLoopback(port);  // takes connections, never answers
    const std::string plainURL = "http://127.0.0.1:" + std::to_string(port) + "/m.json";
    EXPECT_FALSE(fetch(*fetcherFor(plainURL)).has_value());
    server.serve("to-http.json", "302 Found", "", "Location: " + plainURL + "\r\n");
    EXPECT_FALSE(fetch(*fetcherFor(server.url("to-http.json"))).has_value());
    pollfd pending{plain.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&pending, 1, 0), 0) << "a connection came in over plain HTTP";

    server.serve("m.json", "200 OK", validManifest);
    server.serve("moved.json", "301 Moved Permanently", "", "Location: /m.json\r\n");
    const auto moved = fetch(*fetcherFor(server.url("moved.json")));
    ASSERT_TRUE(moved.has_value());
    EXPECT_EQ(moved->statusCode, 200);
    server.serve("loop.json", "302 Found", "", "Location: /loop.json\r\n");
    EXPECT_FALSE(fetch(*fetcherFor(server.url("loop.json"))).has_value());
}

// A server that takes the connection and never answers: destroying the fetcher aborts the
// transfer at once and drops its result; left alone, the fetch gives up after the request's 10 s.
TEST_F(CurlFetcherSystemTest, SilentServer) {
    uint16_t port = 0;
    UniqueFd silent = bindLoopback(port);
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/m.json";
    auto fetcher = fetcherFor(url);
    std::atomic<bool> completed{false};
    fetcher->fetch({UpdateChecker::manifestURL()}, [&](auto) { completed = true; });
    std::this_thread::sleep_for(200ms);
    auto start = std::chrono::steady_clock::now();
    fetcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(completed);

    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(fetch(*fetcherFor(url)).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9500ms);
}

}  // namespace
}  // namespace panelora::test
