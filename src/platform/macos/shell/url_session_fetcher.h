// The update check's HTTPS GET on macOS: a URL session of its own for each fetch, on the
// ephemeral configuration (no cache, cookies or credentials kept), reloading without the cache,
// with the request's timeout for the whole transfer. Only https addresses are fetched, and an
// answer that ends elsewhere after redirects counts as a failure.
//
// fetch() from any thread; `done` comes on the URL session's queue. The destructor cancels the
// transfers still running and waits (briefly) for completions already running, so that none
// comes after it; it must not run inside a completion.
#pragma once

#include <memory>

#include "update/http_fetcher.h"

namespace panelora {

class URLSessionFetcher final : public HttpFetcher {
  public:
    URLSessionFetcher();
    ~URLSessionFetcher() override;
    URLSessionFetcher(const URLSessionFetcher&) = delete;
    URLSessionFetcher& operator=(const URLSessionFetcher&) = delete;

    void fetch(Request request, Completion done) override;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace panelora
