// CurlHttpFetcher: the HttpFetcher over libcurl, HTTPS only, certificates always verified.
//
// Each fetch() gets a fresh easy handle (no connection, DNS, cookie or TLS session shared with
// other fetches) on a thread of its own, which calls the completion. The fetcher owns those
// threads: its destructor aborts transfers still running (within about a second), joins their
// threads and drops their completions, so it must not be destroyed from inside a completion.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "update/http_fetcher.h"

namespace panelora {

class CurlHttpFetcher final : public HttpFetcher {
  public:
    struct Options {
        // Trust only the certificates in this PEM file instead of the system's store (tests).
        std::optional<std::string> caBundlePath;
        // Fetch this URL whatever the request names (tests pointing at a local server).
        std::optional<std::string> urlOverride;
    };

    static constexpr long maxRedirects = 3;

    explicit CurlHttpFetcher(Options options = {});
    ~CurlHttpFetcher() override;
    CurlHttpFetcher(const CurlHttpFetcher&) = delete;
    CurlHttpFetcher& operator=(const CurlHttpFetcher&) = delete;

    void fetch(Request request, Completion done) override;

    struct Shared;

  private:
    Options options_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace panelora
