#include "platform/macos/portable/fetch_result.h"

#include <algorithm>
#include <cctype>

namespace panelora {

bool isHttpsURL(std::string_view url) {
    constexpr std::string_view prefix = "https://";
    if (url.size() <= prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(), url.begin(), [](char a, char b) {
        return a == std::tolower(static_cast<unsigned char>(b));
    });
}

std::optional<HttpFetcher::Response> fetchResult(const URLAnswer& answer, size_t maxBodyBytes) {
    if (answer.transportFailed || !answer.isHTTP || !isHttpsURL(answer.finalURL)) {
        return std::nullopt;
    }
    HttpFetcher::Response response;
    response.statusCode = answer.statusCode;
    const size_t kept = std::min(answer.body.size(), maxBodyBytes);
    response.body.assign(answer.body.begin(), answer.body.begin() + static_cast<ptrdiff_t>(kept));
    return response;
}

}  // namespace panelora
