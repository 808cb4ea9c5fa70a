// HttpFetcher: the one network call of the update check, a single HTTPS GET.
//
// Owned by whoever starts checks (the tray shell) and shared with nothing else. fetch() may be
// called from any thread and returns at once; the transfer runs elsewhere and `done` is called
// exactly once, on a thread of the fetcher's choosing, unless the fetcher is destroyed first (then
// never). Callers hop to their own queue in `done`.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace panelora {

class HttpFetcher {
  public:
    struct Request {
        std::string url;
        // Whole-transfer limit, from starting the connection to the last byte.
        std::chrono::milliseconds timeout{10'000};
        // Reading stops after this many bytes; the body then holds exactly this many.
        std::size_t maxBodyBytes = 16'384;
    };

    struct Response {
        long statusCode = 0;
        std::vector<uint8_t> body;
    };

    // Nothing when the transfer failed: no connection, TLS or certificate failure, timeout,
    // refused redirect. Any HTTP status is a response, however it reads.
    using Completion = std::function<void(std::optional<Response>)>;

    virtual ~HttpFetcher() = default;

    // GET `request.url` without any cache: no stored response is used and none is stored, and
    // no cookies or connections are kept from one fetch to the next.
    virtual void fetch(Request request, Completion done) = 0;
};

}  // namespace panelora
