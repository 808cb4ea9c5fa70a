// GnomeDisplayGeometry: the DisplayGeometry backend on mutter's DisplayConfig (GetCurrentState,
// ApplyMonitorsConfig and the MonitorsChanged signal).
//
// Global points are mutter's layout units (monitor_layout.h) moved so that the primary logical
// monitor's top-left corner is the origin. Display IDs are handed out by this object, one per
// monitor (connector, vendor, product, serial) in the order first seen, from 1; a monitor that
// comes back keeps its ID, and each new virtual monitor of mutter has a serial of its own.
//
// configureOrigin() applies a temporary configuration (not stored in monitors.xml) with the
// display moved and every other logical monitor kept, shifted as a whole so that the layout
// starts at (0, 0) as mutter wants; the global space stays relative to the primary.
//
// Threads: bounds(), mainDisplayID() and the lookups read a snapshot under a mutex; refresh() and
// configure calls make D-Bus calls outside it and may run on any thread. MonitorsChanged is
// handled on the bus thread: it refreshes the snapshot and posts one reconfiguration callback
// per changed display to the main queue. Callbacks hold nothing of this object.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "display/display_geometry.h"
#include "display/reconfiguration_callbacks.h"
#include "platform/linux/dbus/session_bus.h"
#include "platform/linux/gnome/monitor_layout.h"

namespace panelora {

class GnomeDisplayGeometry final : public DisplayGeometry {
  public:
    // Nothing, with `why`, when mutter's DisplayConfig does not answer.
    static std::shared_ptr<GnomeDisplayGeometry> create(std::shared_ptr<SessionBus> bus,
                                                        std::string* why = nullptr);
    ~GnomeDisplayGeometry() override;

    Rect bounds(DisplayID display) const override;
    DisplayID mainDisplayID() const override;
    bool configureOrigin(DisplayID display, int32_t x, int32_t y) override;
    CallbackToken addReconfigurationCallback(ReconfigurationCallback callback) override;
    void removeReconfigurationCallback(CallbackToken token) override;

    // Reads the configuration from mutter now and makes it the snapshot; false when mutter did
    // not answer.
    bool refresh();
    MonitorLayout layout() const;
    // The ID of a monitor, made on first sight.
    DisplayID idOf(const MonitorSpec& spec);
    std::optional<MonitorSpec> specOf(DisplayID display) const;

    // Called after each configuration this object applied, on the thread that applied it. Set
    // once, before any.
    void setAppliedHandler(std::function<void()> handler);

    // Changes a display's scale (and/or its origin in global points) with one temporary
    // configuration; false when mutter refused it.
    bool configure(DisplayID display, std::optional<double> scale,
                   std::optional<Point> origin = std::nullopt);

  private:
    explicit GnomeDisplayGeometry(std::shared_ptr<SessionBus> bus);
    std::optional<MonitorLayout> read();
    void publish(MonitorLayout layout);
    void monitorsChanged();

    const std::shared_ptr<SessionBus> bus_;
    std::unique_ptr<SessionBus::Subscription> watch_;
    std::function<void()> appliedHandler_;  // set once

    mutable std::mutex mutex_;
    MonitorLayout layout_;                  // guarded by mutex_
    bool published_ = false;                // guarded by mutex_
    std::map<MonitorSpec, DisplayID> ids_;  // guarded by mutex_
    DisplayID nextID_ = 1;                  // guarded by mutex_
    ReconfigurationCallbacks callbacks_;
};

}  // namespace panelora
