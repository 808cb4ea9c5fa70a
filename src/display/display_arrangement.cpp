#include "display/display_arrangement.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>

namespace panelora {

namespace {

constexpr double classifyTolerance = 1.0;  // points
constexpr double alreadyThere = 0.5;       // points
constexpr double minimumOverlap = 100.0;   // points of height shared after a move

int64_t secondsToNanos(double s) {
    return static_cast<int64_t>(s * 1e9);
}

// Nearest integer, halves away from zero; nothing outside int32 (a damaged record could hold any
// number, and the platform takes 32-bit origins).
std::optional<int32_t> roundToInt32(double value) {
    double r = std::round(value);
    if (!(r >= std::numeric_limits<int32_t>::min() && r <= std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    return static_cast<int32_t>(r);
}

}  // namespace

std::optional<std::string> DisplayArrangement::Saved::encode() const {
    if (!std::isfinite(offset)) return std::nullopt;
    nlohmann::json object = {{"side", side}, {"offset", offset}};
    return object.dump();
}

std::optional<DisplayArrangement::Saved> DisplayArrangement::Saved::decode(std::string_view json) {
    auto parsed = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    auto side = parsed.find("side");
    auto offset = parsed.find("offset");
    if (side == parsed.end() || !side->is_string()) return std::nullopt;
    if (offset == parsed.end() || !offset->is_number()) return std::nullopt;
    return Saved{side->get<std::string>(), offset->get<double>()};
}

std::shared_ptr<DisplayArrangement> DisplayArrangement::create(DisplayID displayID) {
    return create(displayID, installedDisplayGeometry(), SettingsStore::standard(),
                  Clock::system());
}

std::shared_ptr<DisplayArrangement> DisplayArrangement::create(
    DisplayID displayID, std::shared_ptr<DisplayGeometry> geometry,
    std::shared_ptr<SettingsStore> settings, const Clock& clock) {
    return std::shared_ptr<DisplayArrangement>(
        new DisplayArrangement(displayID, std::move(geometry), std::move(settings), clock));
}

DisplayArrangement::DisplayArrangement(DisplayID displayID,
                                       std::shared_ptr<DisplayGeometry> geometry,
                                       std::shared_ptr<SettingsStore> settings, const Clock& clock)
    : displayID_(displayID),
      geometry_(std::move(geometry)),
      settings_(std::move(settings)),
      clock_(clock) {}

DisplayArrangement::~DisplayArrangement() {
    unregister();
}

void DisplayArrangement::start() {
    restore();
    settleUntil_ = clock_.uptimeNanos() + secondsToNanos(settleSeconds);
    if (!geometry_ || registered_) return;
    std::weak_ptr<DisplayArrangement> weak = weak_from_this();
    token_ = geometry_->addReconfigurationCallback([weak](DisplayID display, uint32_t flags) {
        if (auto self = weak.lock()) self->displayReconfigured(display, flags);
    });
    registered_ = true;
}

void DisplayArrangement::unregister() {
    if (!registered_) return;
    registered_ = false;
    if (geometry_) geometry_->removeReconfigurationCallback(token_);
    token_ = 0;
}

void DisplayArrangement::restore() {
    if (!geometry_ || !settings_) return;
    std::optional<std::string> stored = settings_->displayArrangement();
    if (!stored) return;
    std::optional<Saved> saved = Saved::decode(*stored);
    if (!saved) return;  // unreadable: left as it is
    Rect main = geometry_->bounds(geometry_->mainDisplayID());
    Rect virt = geometry_->bounds(displayID_);
    if (!(virt.width > 0)) return;
    double x, y;
    if (saved->side == "left") {
        x = main.minX() - virt.width;
        y = main.minY() + saved->offset;
    } else if (saved->side == "right") {
        x = main.maxX();
        y = main.minY() + saved->offset;
    } else if (saved->side == "above") {
        x = main.minX() + saved->offset;
        y = main.minY() - virt.height;
    } else if (saved->side == "below") {
        x = main.minX() + saved->offset;
        y = main.maxY();
    } else {
        return;
    }
    applyOrigin(x, y);
}

void DisplayArrangement::applyOrigin(double x, double y) {
    if (!geometry_) return;
    Rect virt = geometry_->bounds(displayID_);
    if (std::fabs(x - virt.minX()) <= alreadyThere && std::fabs(y - virt.minY()) <= alreadyThere)
        return;
    auto ix = roundToInt32(x);
    auto iy = roundToInt32(y);
    if (!ix || !iy) return;
    geometry_->configureOrigin(displayID_, *ix, *iy);
}

void DisplayArrangement::displayReconfigured(DisplayID display, uint32_t flags) {
    if (display != displayID_) return;
    if (!(flags & DisplayChange::movedFlag) || (flags & DisplayChange::beginConfigurationFlag))
        return;
    if (settleUntil_ && clock_.uptimeNanos() >= *settleUntil_) save();
}

void DisplayArrangement::save() {
    if (!geometry_) return;
    DisplayID mainID = geometry_->mainDisplayID();
    Rect main = geometry_->bounds(mainID);
    Rect virt = geometry_->bounds(displayID_);
    if (!(virt.width > 0) || displayID_ == mainID) return;
    Saved saved;
    if (virt.maxX() <= main.minX() + classifyTolerance) {
        saved = {"left", virt.minY() - main.minY()};
    } else if (main.maxX() - classifyTolerance <= virt.minX()) {
        saved = {"right", virt.minY() - main.minY()};
    } else if (virt.maxY() <= main.minY() + classifyTolerance) {
        saved = {"above", virt.minX() - main.minX()};
    } else if (main.maxY() - classifyTolerance <= virt.minY()) {
        saved = {"below", virt.minX() - main.minX()};
    } else {
        return;  // overlapping both ways (mirrored): no side to remember
    }
    store(saved);
}

void DisplayArrangement::move(Side side) {
    if (!geometry_) return;
    DisplayID mainID = geometry_->mainDisplayID();
    Rect main = geometry_->bounds(mainID);
    Rect virt = geometry_->bounds(displayID_);
    if (!(virt.width > 0) || displayID_ == mainID) return;

    bool beside = virt.maxX() <= main.minX() + classifyTolerance ||
                  main.maxX() - classifyTolerance <= virt.minX();
    double offset = beside ? virt.minY() - main.minY() : 0;
    // Keep at least 100 points of height shared; when the two limits cross, the upper one wins.
    if (offset <= minimumOverlap - virt.height) offset = minimumOverlap - virt.height;
    if (offset > main.height - minimumOverlap) offset = main.height - minimumOverlap;

    double x = side == Side::right ? main.maxX() : main.minX() - virt.width;
    settleUntil_ = clock_.uptimeNanos() + secondsToNanos(settleSeconds);
    applyOrigin(x, main.minY() + offset);
    store({side == Side::right ? "right" : "left", offset});
}

void DisplayArrangement::store(const Saved& saved) {
    if (!settings_) return;
    std::optional<std::string> json = saved.encode();
    if (!json) return;
    settings_->setDisplayArrangement(*json);
}

namespace {

std::mutex geometryMutex;
std::shared_ptr<DisplayGeometry>& geometrySlot() {
    static auto* slot = new std::shared_ptr<DisplayGeometry>;
    return *slot;
}

}  // namespace

void installDisplayGeometry(std::shared_ptr<DisplayGeometry> geometry) {
    std::lock_guard lock(geometryMutex);
    geometrySlot() = std::move(geometry);
}

std::shared_ptr<DisplayGeometry> installedDisplayGeometry() {
    std::lock_guard lock(geometryMutex);
    return geometrySlot();
}

}  // namespace panelora
