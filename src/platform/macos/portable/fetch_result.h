// What the URL session's answer to an update-check fetch means for the HttpFetcher seam: HTTPS
// only (the request, and the address the answer finally came from after redirects), any HTTP
// status a response, the body cut at the request's limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "update/http_fetcher.h"

namespace panelora {

// The scheme is "https" (any case) and something follows "https://".
bool isHttpsURL(std::string_view url);

struct URLAnswer {
    bool transportFailed = false;  // an NSError: no connection, TLS, timeout, cancelled
    bool isHTTP = false;           // the response is an NSHTTPURLResponse
    long statusCode = 0;
    std::string_view finalURL;  // the response's URL
    std::span<const uint8_t> body;
};

std::optional<HttpFetcher::Response> fetchResult(const URLAnswer& answer, size_t maxBodyBytes);

}  // namespace panelora
