#include "update/update_checker.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <utility>

#include "update/user_text.h"

#ifndef PANELORA_VERSION
#define PANELORA_VERSION ""
#endif

namespace panelora::UpdateChecker {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// ^[0-9]{1,4}(\.[0-9]{1,4}){0,3}$ over the whole string.
bool isWellFormedVersion(std::string_view version) {
    std::size_t groups = 0;
    std::size_t at = 0;
    while (true) {
        std::size_t digits = 0;
        while (at < version.size() && isDigit(version[at]))
            ++at, ++digits;
        if (digits < 1 || digits > 4 || ++groups > 4) return false;
        if (at == version.size()) return true;
        if (version[at] != '.') return false;
        ++at;
    }
}

// A decimal integer with an optional sign within the signed 64-bit range, else 0.
int64_t pieceValue(std::string_view piece) {
    std::string_view digits = piece;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) return 0;
    // from_chars takes "-" but not "+".
    const std::string_view number = piece.front() == '-' ? piece : digits;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) return 0;
    return value;
}

std::vector<int64_t> versionPieces(std::string_view version) {
    std::vector<int64_t> pieces;
    while (true) {
        const std::size_t dot = version.find('.');
        const std::string_view piece = version.substr(0, dot);
        if (!piece.empty()) pieces.push_back(pieceValue(piece));
        if (dot == std::string_view::npos) return pieces;
        version.remove_prefix(dot + 1);
    }
}

void showResult(std::optional<HttpFetcher::Response> response,
                const std::weak_ptr<AlertPresenter>& weakPresenter,
                const std::function<void(const std::string&)>& openURL, const std::string& current,
                std::function<void()> finished) {
    const auto presenter = weakPresenter.lock();
    if (!presenter) {
        if (finished) finished();
        return;
    }
    Alert alert = alertFor(response, current);
    presenter->activateApplication();
    // `done` keeps only what it needs: not the presenter, which owns it while the alert is up.
    presenter->present(
        alert, [alert, openURL, finished = std::move(finished)](std::optional<std::size_t> chosen) {
            if (opensProductPage(alert, chosen) && openURL) openURL(productPageURL());
            if (finished) finished();
        });
}

}  // namespace

const std::string& manifestURL() {
    static const std::string url =
        "https://" + std::string(productHost) + "/downloads/panelora.json";
    return url;
}

const std::string& productPageURL() {
    static const std::string url = "https://" + productPageAddress();
    return url;
}

const std::string& productPageAddress() {
    static const std::string address = std::string(productHost) + "/panelora";
    return address;
}

std::optional<Manifest> parseManifest(std::span<const uint8_t> body) {
    if (body.size() > maxManifestBytes) return std::nullopt;
    // The non-throwing parse: a syntax error (including ill-formed UTF-8 in a string) gives a
    // discarded value.
    const auto json = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) return std::nullopt;

    const auto version = json.find("version");
    if (version == json.end() || !version->is_string()) return std::nullopt;
    Manifest manifest;
    manifest.version = version->get<std::string>();
    if (!isWellFormedVersion(manifest.version)) return std::nullopt;

    const auto notes = json.find("notes");
    if (notes != json.end() && notes->is_string()) {
        const auto& text = notes->get_ref<const std::string&>();
        const std::string_view kept =
            UserText::trimmed(UserText::prefixOfCharacters(text, maxNotesCharacters));
        if (!kept.empty()) manifest.notes = std::string(kept);
    }
    return manifest;
}

bool isNewer(std::string_view candidate, std::string_view current) {
    const std::vector<int64_t> a = versionPieces(candidate);
    const std::vector<int64_t> b = versionPieces(current);
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const int64_t x = i < a.size() ? a[i] : 0;
        const int64_t y = i < b.size() ? b[i] : 0;
        if (x != y) return x > y;
    }
    return false;
}

std::string currentVersion() {
    const std::string version = PANELORA_VERSION;
    return version.empty() ? "0" : version;
}

Alert failureAlert() {
    return {"Couldn't check for updates",
            "Check your internet connection, or visit " + productPageAddress() +
                " for the latest version.",
            {"Open Website", "OK"}};
}

Alert upToDateAlert(std::string_view current) {
    return {"Panelora is up to date",
            "You have the latest version, " + std::string(current) + ".",
            {"OK"}};
}

Alert updateAlert(const Manifest& manifest, std::string_view current) {
    std::string informative = "You have version " + std::string(current) + ".";
    if (manifest.notes) informative = *manifest.notes + "\n\n" + informative;
    return {"Panelora " + manifest.version + " is available",
            std::move(informative),
            {"Download", "Later"}};
}

Alert alertFor(const std::optional<HttpFetcher::Response>& response, std::string_view current) {
    if (!response || response->statusCode != 200) return failureAlert();
    const auto manifest = parseManifest(response->body);
    if (!manifest) return failureAlert();
    if (!isNewer(manifest->version, current)) return upToDateAlert(current);
    return updateAlert(*manifest, current);
}

bool opensProductPage(const Alert& alert, std::optional<std::size_t> chosenButton) {
    return alert.buttons.size() == 2 && chosenButton == 0u;
}

void checkForUpdates(const Environment& environment, std::function<void()> finished) {
    if (!environment.queue) return;
    auto deliver = [weakQueue = std::weak_ptr<SerialQueue>(environment.queue),
                    presenter = environment.presenter, openURL = environment.openURL,
                    current = environment.currentVersion, finished = std::move(finished)](
                       std::optional<HttpFetcher::Response> response) mutable {
        const auto queue = weakQueue.lock();
        if (!queue) return;
        queue->post([response = std::move(response), presenter = std::move(presenter),
                     openURL = std::move(openURL), current = std::move(current),
                     finished = std::move(finished)]() mutable {
            showResult(std::move(response), presenter, openURL, current, std::move(finished));
        });
    };
    if (!environment.fetcher) {
        deliver(std::nullopt);
        return;
    }
    // One byte over the manifest limit is enough to know the body is too long.
    environment.fetcher->fetch({manifestURL(), requestTimeout, maxManifestBytes + 1},
                               std::move(deliver));
}

}  // namespace panelora::UpdateChecker
