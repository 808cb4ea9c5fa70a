#include "test_prelude.h"  // first: gtest before Xlib, whose macros break its templates

#include "desktop_rig.h"
#include "gnome_session.h"
#include "platform/linux/gnome/gnome_platform.h"
#include "platform/linux/sway/sway_platform.h"
#include "sway_session.h"
#include "wayland_canvas.h"
#include "xorg_busy_outputs.h"

#include "x11_helpers.h"  // Xlib after everything that could use its macros' names

#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_platform.h"

namespace panelora::test {
namespace {

constexpr uint32_t kOpaque = 0xFF000000;

// A TestWindow on a connection of its own, which nothing else reads, so that its events can be
// collected whenever the test asks.
class X11Window final : public RigWindow {
  public:
    X11Window(DisplayPtr d, const Rect& r)
        : d_(std::move(d)),
          size_{int(r.width), int(r.height)},
          window_(d_.get(), int(r.x), int(r.y), size_.first, size_.second) {}
    ~X11Window() override {
        if (cursor_) XFreeCursor(d_.get(), cursor_);
    }

    void fill(uint32_t rgb) override {
        XSetWindowBackground(d_.get(), window_.id(), rgb);
        XClearWindow(d_.get(), window_.id());
        XSync(d_.get(), False);
    }
    void setPointer(int side, uint32_t rgb) override {
        std::vector<char> bits(size_t((side + 7) / 8 * side), char(0xFF));
        Pixmap shape = XCreateBitmapFromData(d_.get(), window_.id(), bits.data(), unsigned(side),
                                             unsigned(side));
        XColor colour{}, unused{};
        colour.red = uint16_t(((rgb >> 16) & 0xFF) * 257);
        colour.green = uint16_t(((rgb >> 8) & 0xFF) * 257);
        colour.blue = uint16_t((rgb & 0xFF) * 257);
        cursor_ = XCreatePixmapCursor(d_.get(), shape, shape, &colour, &unused, 0, 0);
        XFreePixmap(d_.get(), shape);
        XDefineCursor(d_.get(), window_.id(), cursor_);
        XSync(d_.get(), False);
    }
    std::pair<int, int> size() const override { return size_; }
    std::vector<Input> buttons() override { return pump(), buttons_; }
    std::vector<Input> keys() override { return pump(), keys_; }
    Scrolled scrolled() override { return pump(), scrolled_; }
    bool pointerInside() override {
        Window root, child = None;
        int rx, ry, x, y;
        unsigned mask;
        XQueryPointer(d_.get(), DefaultRootWindow(d_.get()), &root, &child, &rx, &ry, &x, &y,
                      &mask);
        return child == window_.id();
    }

  private:
    void pump() {
        while (XPending(d_.get()) > 0) {
            XEvent e;
            XNextEvent(d_.get(), &e);
            const bool pressed = e.type == ButtonPress || e.type == KeyPress;
            if (e.type == KeyPress || e.type == KeyRelease) {
                keys_.push_back({e.xkey.keycode - 8, pressed, 0, 0});  // X's codes: evdev's + 8
            } else if ((e.type == ButtonPress || e.type == ButtonRelease) && e.xbutton.button > 3) {
                // Wheel clicks: 4 up, 5 down, 6 left, 7 right; each a press and a release.
                const unsigned b = e.xbutton.button;
                if (pressed) (b < 6 ? scrolled_.vertical : scrolled_.horizontal) += b % 2 ? 1 : -1;
            } else if (e.type == ButtonPress || e.type == ButtonRelease) {
                static constexpr uint32_t kCodes[] = {0, 0x110, 0x112, 0x111};  // BTN_LEFT…
                buttons_.push_back(
                    {kCodes[e.xbutton.button], pressed, double(e.xbutton.x), double(e.xbutton.y)});
            }
        }
    }

    DisplayPtr d_;
    const std::pair<int, int> size_;
    TestWindow window_;
    Cursor cursor_ = 0;
    std::vector<Input> buttons_, keys_;
    Scrolled scrolled_;
};

class X11Rig final : public DesktopRig {
  public:
    X11Rig(XorgServer& server, std::unique_ptr<X11Platform> platform)
        : server_(server), platform_(std::move(platform)), d_(openDisplay(server.displayName())) {}

    DesktopPlatform& platform() override { return *platform_; }
    std::unique_ptr<RigWindow> openWindow(DisplayID display, uint32_t rgb) override {
        auto d = openDisplay(server_.displayName());
        const auto bounds = d ? x11::displayBounds(d.get(), display) : std::nullopt;
        if (!bounds) {
            ADD_FAILURE() << "no display " << display << " on " << server_.displayName();
            return nullptr;
        }
        auto window = std::make_unique<X11Window>(std::move(d), *bounds);
        window->fill(rgb);
        return window;
    }
    void movePointerOff(DisplayID) override {
        XWarpPointer(d_.get(), None, DefaultRootWindow(d_.get()), 0, 0, 0, 0, 10, 10);
        XSync(d_.get(), False);
    }
    bool boundsInPixels() const override { return false; }
    double scrollStep() const override { return X11EventPoster::pixelsPerClick; }
    std::set<uint32_t> heldKeys() const override {
        std::set<uint32_t> codes;
        for (unsigned code : platform_->input().poster->heldKeys())
            codes.insert(code - 8);
        return codes;
    }

  private:
    XorgServer& server_;
    std::unique_ptr<X11Platform> platform_;
    DisplayPtr d_;
};

// A Wayland desktop's window: a canvas.
class CanvasWindow final : public RigWindow {
  public:
    explicit CanvasWindow(std::unique_ptr<WaylandCanvas> canvas) : canvas_(std::move(canvas)) {}

    void fill(uint32_t rgb) override { canvas_->fill(kOpaque | rgb); }
    void setPointer(int side, uint32_t rgb) override { canvas_->setPointer(side, kOpaque | rgb); }
    std::pair<int, int> size() const override { return canvas_->size(); }
    std::vector<Input> buttons() override { return canvas_->received().buttons; }
    std::vector<Input> keys() override { return canvas_->received().keys; }
    Scrolled scrolled() override {
        const auto received = canvas_->received();
        return {received.vertical, received.horizontal};
    }
    bool pointerInside() override { return canvas_->received().pointerInside; }

  private:
    std::unique_ptr<WaylandCanvas> canvas_;
};

class CanvasRig : public DesktopRig {
  public:
    std::unique_ptr<RigWindow> openWindow(DisplayID display, uint32_t rgb) override {
        std::string why;
        auto canvas = openCanvas(display, kOpaque | rgb, &why);
        if (!canvas) {
            ADD_FAILURE() << why;
            return nullptr;
        }
        return std::make_unique<CanvasWindow>(std::move(canvas));
    }
    double scrollStep() const override { return 1; }  // Wayland's axis values are pixels

  protected:
    virtual std::unique_ptr<WaylandCanvas> openCanvas(DisplayID display, uint32_t argb,
                                                      std::string* why) = 0;
};

class GnomeRig final : public CanvasRig {
  public:
    GnomeRig(GnomeSession& gnome, std::unique_ptr<GnomePlatform> platform)
        : gnome_(gnome), platform_(std::move(platform)) {}

    DesktopPlatform& platform() override { return *platform_; }
    // Mutter keeps a motion that would end off every monitor on the monitor it started on, so
    // the pointer leaves over the display's left edge, onto the primary.
    void movePointerOff(DisplayID display) override {
        auto monitor = platform_->monitors()->find(display);
        const Rect bounds = platform_->geometry()->bounds(display);
        if (!monitor) return;
        platform_->poster()->postMouse(MouseEventType::mouseMoved, display,
                                       {bounds.x, bounds.y + bounds.height / 4}, MouseButton::left,
                                       {});
        monitor->session()->pointerMotionRelative(-200, 0);
    }
    bool boundsInPixels() const override { return true; }
    std::set<uint32_t> heldKeys() const override { return platform_->poster()->heldKeys(); }

  private:
    // Global points start at the primary's corner; the canvas names its output by layout.
    std::unique_ptr<WaylandCanvas> openCanvas(DisplayID display, uint32_t argb,
                                              std::string* why) override {
        const Rect bounds = platform_->geometry()->bounds(display);
        const MonitorLayout layout = platform_->geometry()->layout();
        const LogicalMonitor* primary = layout.primary();
        return WaylandCanvas::open(
            {gnome_.waylandSocket(), int(bounds.x) + (primary ? primary->x : 0),
             int(bounds.y) + (primary ? primary->y : 0), argb},
            why);
    }

    GnomeSession& gnome_;
    std::unique_ptr<GnomePlatform> platform_;
};

// sway: the canvas names its output; the geometry counts the outputs' logical pixels.
class SwayRig final : public CanvasRig {
  public:
    SwayRig(SwaySession& sway, std::unique_ptr<SwayPlatform> platform)
        : sway_(sway), platform_(std::move(platform)) {}

    DesktopPlatform& platform() override { return *platform_; }
    void movePointerOff(DisplayID) override {
        const DisplayID main = platform_->layout()->mainDisplayID();
        platform_->poster()->postMouse(MouseEventType::mouseMoved, main, {10, 10},
                                       MouseButton::left, {});
    }
    bool boundsInPixels() const override { return false; }
    std::set<uint32_t> heldKeys() const override { return platform_->poster()->heldKeys(); }

  private:
    std::unique_ptr<WaylandCanvas> openCanvas(DisplayID display, uint32_t argb,
                                              std::string* why) override {
        return WaylandCanvas::open({sway_.waylandSocket(), 0, 0, argb},
                                   platform_->layout()->outputName(display), why);
    }

    SwaySession& sway_;
    std::unique_ptr<SwayPlatform> platform_;
};

}  // namespace

std::unique_ptr<DesktopRig> DesktopRig::make(const std::string& name, std::string* why) {
    std::string error;
    auto skip = [why](const std::string& reason) {
        *why = reason;
        return nullptr;
    };
    if (name == "x11" || name == "x11_monitor") {
        XorgServer* server = name == "x11" ? XorgServer::shared() : busyOutputsServer();
        if (!server)
            return skip(name == "x11" ? XorgServer::sharedSkipReason() : busyOutputsSkipReason());
        auto platform =
            X11Platform::create({.displayName = server->displayName(),
                                 .encoders = LibavVideoCodecFactory::Encoders::automatic,
                                 .scale = 1},
                                &error);
        if (platform) return std::make_unique<X11Rig>(*server, std::move(platform));
    } else if (name == "gnome") {
        GnomeSession* gnome = GnomeSession::shared();
        if (!gnome) return skip(GnomeSession::sharedSkipReason());
        auto platform = GnomePlatform::create({gnome->busAddress(), gnome->pipewireSocket(),
                                               LibavVideoCodecFactory::Encoders::automatic},
                                              &error);
        if (platform) return std::make_unique<GnomeRig>(*gnome, std::move(platform));
    } else if (name == "sway") {
        SwaySession* sway = SwaySession::shared();
        if (!sway) return skip(SwaySession::sharedSkipReason());
        auto platform =
            SwayPlatform::create({.ipcSocket = sway->ipcSocket(),
                                  .waylandDisplay = sway->waylandSocket(),
                                  .encoders = LibavVideoCodecFactory::Encoders::automatic,
                                  .ownedFile = sway->ownedFile()},
                                 &error);
        if (platform) return std::make_unique<SwayRig>(*sway, std::move(platform));
    } else {
        error = "no rig for the desktop \"" + name + "\"";
    }
    ADD_FAILURE() << error;
    *why = error;
    return nullptr;
}

}  // namespace panelora::test
