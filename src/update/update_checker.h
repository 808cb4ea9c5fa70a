// UpdateChecker: on the user's request, fetches the published version manifest, compares it with
// the running version and tells the result in an alert; two of the three alerts can open the
// product page. Nothing is downloaded or installed, and nothing runs on its own.
//
// No state is kept between checks. checkForUpdates() is called on the main queue; the fetch runs
// in the HttpFetcher, its result hops back to the given queue, and the alert, the URL opening and
// `finished` all run there. The presenter is held weakly while the fetch is in flight: if the
// shell has gone, nothing is shown.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "support/serial_queue.h"
#include "update/alert_presenter.h"
#include "update/http_fetcher.h"

namespace panelora::UpdateChecker {

// The product's web site: the manifest, the product page and the failure alert's text all
// follow from it.
inline constexpr std::string_view productHost = "panelora.app";

// "https://panelora.app/downloads/panelora.json"
const std::string& manifestURL();
// "https://panelora.app/panelora"
const std::string& productPageURL();
// The product page without its scheme, as the failure alert shows it: "panelora.app/panelora".
const std::string& productPageAddress();

inline constexpr std::size_t maxManifestBytes = 16'383;
inline constexpr std::size_t maxNotesCharacters = 400;
inline constexpr std::chrono::milliseconds requestTimeout{10'000};

struct Manifest {
    std::string version;               // as written
    std::optional<std::string> notes;  // first 400 characters, trimmed; never empty
    bool operator==(const Manifest&) const = default;
};

// Nothing unless the body is under 16384 bytes of JSON whose top level is an object with a
// string "version" of one to four dot-separated groups of one to four ASCII digits (the whole
// string: no sign, space or line break). "notes", when a string, is cut to 400 characters (see
// user_text.h) and trimmed; other keys are ignored.
std::optional<Manifest> parseManifest(std::span<const uint8_t> body);

// True when `candidate` is a later version than `current`: dot-separated pieces, empty pieces
// dropped, each a signed 64-bit decimal integer (optional "+" or "-") or else 0, compared in
// order with missing pieces as 0.
bool isNewer(std::string_view candidate, std::string_view current);

// The version the build was configured with, or "0" when it has none. The menu's version line
// shows the same value.
std::string currentVersion();

Alert failureAlert();
Alert upToDateAlert(std::string_view current);
Alert updateAlert(const Manifest& manifest, std::string_view current);

// The alert for a fetch result: failure unless status 200 and a valid manifest; then update
// available when the manifest's version is newer than `current`, else up to date.
Alert alertFor(const std::optional<HttpFetcher::Response>& response, std::string_view current);

// Whether choosing `chosenButton` of `alert` opens the product page: the first button of a
// two-button alert.
bool opensProductPage(const Alert& alert, std::optional<std::size_t> chosenButton);

// What a check talks to.
struct Environment {
    std::shared_ptr<HttpFetcher> fetcher;
    std::weak_ptr<AlertPresenter> presenter;
    // Opens a URL in the user's browser (the desktop's URL handler).
    std::function<void(const std::string& url)> openURL;
    // The main queue: the alert and everything after the fetch run here.
    std::shared_ptr<SerialQueue> queue;
    std::string currentVersion = UpdateChecker::currentVersion();
};

// Fetches manifestURL() without cache and with a 10 s timeout, shows the resulting alert (the
// application brought to the front first) and opens productPageURL() when the alert's first of
// two buttons was chosen. `finished` runs on the queue once the alert has been dealt with, or
// once it is known none will be shown (the presenter is gone); never when the queue is gone.
void checkForUpdates(const Environment& environment, std::function<void()> finished = {});

}  // namespace panelora::UpdateChecker
