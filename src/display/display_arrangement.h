// DisplayArrangement: puts the session's virtual display back where the user last had it beside
// the main display, remembers the placement whenever the user rearranges the displays, and moves
// the display to the left or right of the main display on request.
//
// One per session, owned by it. Every method runs on the main queue (the session hops there); the
// reconfiguration callback arrives there too and holds the arrangement weakly. The placement is
// stored as the "displayArrangement" record of the SettingsStore.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "display/display_geometry.h"
#include "support/clock.h"
#include "support/settings_store.h"

namespace panelora {

class DisplayArrangement : public std::enable_shared_from_this<DisplayArrangement> {
  public:
    enum class Side : uint8_t { left = 0, right = 1 };

    // The stored placement. `side` is "left", "right", "above" or "below"; `offset` is the virtual
    // display's top edge minus the main display's (left, right) or its left edge minus the main
    // display's (above, below), in points.
    struct Saved {
        std::string side;
        double offset = 0;

        // {"side": …, "offset": …}; nothing when the offset is not finite (JSON has no such
        // number).
        std::optional<std::string> encode() const;
        // Both members required, `side` a string and `offset` a number; other members ignored.
        static std::optional<Saved> decode(std::string_view json);
        bool operator==(const Saved&) const = default;
    };

    static constexpr double settleSeconds = 2.0;

    // Uses installedDisplayGeometry(), SettingsStore::standard() and the system clock.
    static std::shared_ptr<DisplayArrangement> create(DisplayID displayID);
    static std::shared_ptr<DisplayArrangement> create(DisplayID displayID,
                                                      std::shared_ptr<DisplayGeometry> geometry,
                                                      std::shared_ptr<SettingsStore> settings,
                                                      const Clock& clock);
    ~DisplayArrangement();
    DisplayArrangement(const DisplayArrangement&) = delete;
    DisplayArrangement& operator=(const DisplayArrangement&) = delete;

    // Restores the saved placement, blocks saving for 2 s and registers for reconfigurations.
    void start();
    // Places the display left or right of the main display and saves that placement.
    void move(Side side);
    // Removes the reconfiguration callback; nothing when not registered.
    void unregister();
    // A reconfiguration notification (normally from the callback).
    void displayReconfigured(DisplayID display, uint32_t flags);

    void restore();
    void save();
    void applyOrigin(double x, double y);

    bool registered() const { return registered_; }

  private:
    DisplayArrangement(DisplayID displayID, std::shared_ptr<DisplayGeometry> geometry,
                       std::shared_ptr<SettingsStore> settings, const Clock& clock);
    void store(const Saved& saved);

    const DisplayID displayID_;
    const std::shared_ptr<DisplayGeometry> geometry_;
    const std::shared_ptr<SettingsStore> settings_;
    const Clock& clock_;
    // Uptime ns before which moves are not saved; nothing means never (before start). Monotonic,
    // so a wall-clock change cannot open or stretch the window.
    std::optional<int64_t> settleUntil_;
    bool registered_ = false;
    DisplayGeometry::CallbackToken token_ = 0;
};

}  // namespace panelora
