#include "platform/linux/gnome/gnome_virtual_display.h"

#include <cmath>
#include <mutex>
#include <set>
#include <thread>

#include "platform/linux/gnome/mutter_names.h"
#include "support/log.h"

namespace panelora {
namespace {

auto logger() {
    return log::get("gnome");
}

constexpr auto kAppearTimeout = std::chrono::seconds(5);
constexpr auto kAppearPoll = std::chrono::milliseconds(20);
constexpr const char* kVirtualProduct = "Virtual remote monitor";

std::string sizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

class GnomeVirtualDisplay final : public PlatformVirtualDisplay {
  public:
    GnomeVirtualDisplay(std::shared_ptr<SessionBus> bus,
                        std::shared_ptr<GnomeDisplayGeometry> geometry,
                        std::shared_ptr<VirtualMonitors> monitors, std::string pipewireRemote)
        : bus_(std::move(bus)),
          geometry_(std::move(geometry)),
          monitors_(std::move(monitors)),
          pipewireRemote_(std::move(pipewireRemote)) {}

    ~GnomeVirtualDisplay() override {
        std::lock_guard lock(mutex_);
        remove();
    }

    bool applySettings(const VirtualDisplaySettings& settings) override {
        if (settings.modes.empty()) return false;
        const VirtualDisplayMode& wanted = settings.modes.front();
        // The stream's encoded size when the caller gave one, else the backing size of a 2×
        // display.
        const int width = static_cast<int>(settings.encodedWidth > 0 ? settings.encodedWidth
                                                                     : 2 * int64_t{wanted.width});
        const int height = static_cast<int>(
            settings.encodedHeight > 0 ? settings.encodedHeight : 2 * int64_t{wanted.height});
        const int fps = std::max(1, static_cast<int>(std::lround(wanted.refreshRate)));
        if (width < 2 || height < 2 || width > 16384 || height > 16384 || wanted.width == 0) {
            return false;
        }
        std::lock_guard lock(mutex_);
        remove();
        auto made = make(width, height, fps, wanted.width);
        if (!made) return false;
        monitor_ = std::move(made);
        monitors_->add(monitor_);
        return true;
    }

    DisplayID displayID() const override {
        std::lock_guard lock(mutex_);
        return monitor_ ? monitor_->id() : 0;
    }

  private:
    std::shared_ptr<VirtualMonitor> make(int width, int height, int fps, uint32_t pointWidth) {
        geometry_->refresh();
        std::set<MonitorSpec> before;
        for (const auto& m : geometry_->layout().monitors)
            before.insert(m.spec);

        std::string why;
        auto session = MutterSession::start(bus_, &why);
        if (!session) {
            logger()->warn("{}", "no virtual monitor: " + why);
            return nullptr;
        }
        auto monitor = std::make_shared<VirtualMonitor>(
            width, height, static_cast<double>(pointWidth) / width, session, monitors_->events());
        std::weak_ptr<VirtualMonitor> weak = monitor;
        auto ended = [weak] {
            if (auto m = weak.lock()) m->ended();
        };
        session->setClosedHandler(ended);
        auto stream = PipeWireStream::connect(
            {pipewireRemote_, session->nodeId(), width, height, fps, monitors_->events()},
            [raw = monitor.get()](StreamFrame& frame) { raw->handleFrame(frame); }, ended, &why);
        if (!stream) {
            logger()->warn("{}", "no virtual monitor: " + why);
            monitor->stop();
            return nullptr;
        }
        monitor->attach(std::move(stream));

        auto spec = waitForMonitor(before, width, height);
        if (!spec) {
            logger()->warn("{}", "no virtual monitor: mutter did not show the " +
                                     sizeText(width, height) + " monitor in time");
            monitor->stop();
            return nullptr;
        }
        const DisplayID id = geometry_->idOf(*spec);
        monitor->identify(id, *spec);
        monitor->setScale(applyScale(id, *spec, width, static_cast<int>(pointWidth)));
        // Not yet among the live monitors, which a change of the monitors restarts.
        monitor->restartStream();
        return monitor;
    }

    // The new "Virtual remote monitor" of the wanted size that was not there before.
    std::optional<MonitorSpec> waitForMonitor(const std::set<MonitorSpec>& before, int width,
                                              int height) {
        const auto deadline = std::chrono::steady_clock::now() + kAppearTimeout;
        do {
            geometry_->refresh();
            for (const auto& m : geometry_->layout().monitors) {
                const MonitorMode* mode = m.currentMode();
                if (m.spec.product == kVirtualProduct && !before.contains(m.spec) && mode &&
                    mode->width == width && mode->height == height) {
                    return m.spec;
                }
            }
            std::this_thread::sleep_for(kAppearPoll);
        } while (std::chrono::steady_clock::now() < deadline);
        return std::nullopt;
    }

    // The scale the monitor has afterwards.
    double applyScale(DisplayID id, const MonitorSpec& spec, int width, int pointWidth) {
        const MonitorLayout layout = geometry_->layout();
        const MonitorInfo* info = layout.monitor(spec);
        const LogicalMonitor* logical = layout.logicalMonitorOf(spec);
        const MonitorMode* mode = info ? info->currentMode() : nullptr;
        if (!mode || !logical) return 1;
        const double wanted = static_cast<double>(width) / pointWidth;
        const double scale = scaleForLooksLike(width, pointWidth, mode->supportedScales);
        if (std::abs(scale - wanted) > 0.01) {
            logger()->info(
                "virtual monitor {}: {}x{} pixels at scale {} (looks like {}x{}); mutter "
                "offers no scale {:.3f} for it{}",
                spec.connector, width, mode->height, scale, std::lround(width / scale),
                std::lround(mode->height / scale), wanted,
                layout.layoutMode == MonitorLayout::layoutModeLogical
                    ? ""
                    : " (fractional scales need mutter's experimental "
                      "scale-monitor-framebuffer)");
        }
        if (std::abs(logical->scale - scale) <= 1e-6) return scale;
        if (!geometry_->configure(id, scale)) {
            logger()->info("virtual monitor {} keeps scale {}", spec.connector, logical->scale);
            return logical->scale;
        }
        return scale;
    }

    void remove() {
        if (!monitor_) return;
        monitors_->remove(monitor_->id());
        monitor_->stop();
        // Mutter takes the monitor away a moment later; a display made before that would find
        // the arrangement still changing under it.
        const MonitorSpec spec = monitor_->spec();
        const auto deadline = std::chrono::steady_clock::now() + kAppearTimeout;
        while (geometry_->refresh() && geometry_->layout().monitor(spec) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(kAppearPoll);
        }
        logger()->info("{}", "virtual monitor " + spec.connector + " removed");
        monitor_.reset();
    }

    const std::shared_ptr<SessionBus> bus_;
    const std::shared_ptr<GnomeDisplayGeometry> geometry_;
    const std::shared_ptr<VirtualMonitors> monitors_;
    const std::string pipewireRemote_;

    mutable std::mutex mutex_;
    std::shared_ptr<VirtualMonitor> monitor_;  // guarded by mutex_
};

}  // namespace

double scaleForLooksLike(int pixelWidth, int pointWidth, const std::vector<double>& supported) {
    if (pixelWidth <= 0 || pointWidth <= 0) return 1;
    return nearestScale(static_cast<double>(pixelWidth) / pointWidth, supported);
}

GnomeVirtualDisplayBackend::GnomeVirtualDisplayBackend(
    std::shared_ptr<SessionBus> bus, std::shared_ptr<GnomeDisplayGeometry> geometry,
    std::shared_ptr<VirtualMonitors> monitors, std::string pipewireRemote)
    : bus_(std::move(bus)),
      geometry_(std::move(geometry)),
      monitors_(std::move(monitors)),
      pipewireRemote_(std::move(pipewireRemote)) {}

std::unique_ptr<PlatformVirtualDisplay> GnomeVirtualDisplayBackend::create(
    const VirtualDisplayDescriptor&) {
    if (!bus_->hasOwner(mutter::screenCastService)) {
        logger()->warn("{}", "no virtual display: mutter offers no screen cast on the bus");
        return nullptr;
    }
    return std::make_unique<GnomeVirtualDisplay>(bus_, geometry_, monitors_, pipewireRemote_);
}

}  // namespace panelora
