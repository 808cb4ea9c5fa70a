// A test's own connection to the X server, and what the tests read and change there with plain
// Xlib and RandR calls, the way other programs (xrandr, a desktop) do it: modes, outputs, the
// pointer, drawing, windows that record input, bounded event waits.
#pragma once

#include "test_prelude.h"  // before X11: Xlib defines None, Bool and Status as macros

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "platform/linux/x11/randr_handles.h"
#include "xorg_server.h"

// The shared server in `server`, or a skip of the calling test.
#define PANELORA_REQUIRE_XORG(server)                                              \
    ::panelora::test::XorgServer* server = ::panelora::test::XorgServer::shared(); \
    if (!server) GTEST_SKIP() << ::panelora::test::XorgServer::sharedSkipReason()

namespace panelora::test {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;
DisplayPtr openDisplay(const std::string& name);

struct ScreenSize {
    int width = 0, height = 0;
    bool operator==(const ScreenSize&) const = default;
};
ScreenSize screenSize(Display* d);

// Names of the RandR modes that start with `prefix`: all that exist, or those shown on a CRTC.
std::vector<std::string> modeNames(Display* d, std::string_view prefix = {});
std::vector<std::string> shownModeNames(Display* d, std::string_view prefix = {});

x11::Resources screenResources(Display* d);
RROutput outputNamed(Display* d, const std::string& name);
struct CrtcPlacement {
    RRCrtc crtc = 0;
    int x = 0, y = 0, width = 0, height = 0;
};
// Where RandR shows the output now; nothing when it is disabled.
std::optional<CrtcPlacement> placementOf(Display* d, RROutput output);
// Moves an enabled output's CRTC to root (x, y), growing the screen first when needed (as
// `xrandr --output … --pos` does).
bool moveOutputRaw(Display* d, RROutput output, int x, int y);
// A mode of that name and size, created but used by no output.
RRMode createMode(Display* d, const std::string& name, int width, int height);

// A spare output enabled with a width × height mode at root (x, y), the screen grown to hold it;
// the destructor disables it and removes the mode.
class SpareOutput {
  public:
    static std::unique_ptr<SpareOutput> enable(Display* d, const std::string& outputName, int width,
                                               int height, int x, int y,
                                               const std::string& modeName = {});
    ~SpareOutput();
    RROutput output() const { return output_; }
    // To root (x, y), the screen grown to hold it, as `xrandr --output … --pos` does it.
    bool moveTo(int x, int y);
    // Leaves it enabled, as a crashed program would.
    void abandon() { d_ = nullptr; }

  private:
    SpareOutput() = default;
    Display* d_ = nullptr;
    RROutput output_ = 0;
    RRCrtc crtc_ = 0;
    RRMode mode_ = 0;
    int width_ = 0, height_ = 0;
};

// Back to the server's starting state: only the primary output, at (0, 0), screen its size.
void resetScreen(Display* d);

// Fills a rectangle of the root window with an RGB colour.
void fillRoot(Display* d, int x, int y, int width, int height, uint32_t rgb);
// Where the pointer is, in root coordinates.
std::pair<int, int> pointerPosition(Display* d);

// Waits up to `timeout` for an event matching `match`; other events are dropped.
std::optional<XEvent> waitForEvent(Display* d, const std::function<bool(const XEvent&)>& match,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(3));
// Every event that arrives within `quiet` of the previous one (bounded by `limit`).
std::vector<XEvent> drainEvents(Display* d,
                                std::chrono::milliseconds quiet = std::chrono::milliseconds(150),
                                std::chrono::milliseconds limit = std::chrono::seconds(2));
// The key symbol an event types (Shift and Lock applied).
KeySym typedKeysym(XKeyEvent event);

// An override-redirect window at root (x, y), mapped, raised and focused, selecting button,
// motion and key events. With `quadrants` it shows four solid quadrants: top-left red,
// top-right green, bottom-left blue, bottom-right white.
class TestWindow {
  public:
    static constexpr uint32_t kQuadrantColours[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

    TestWindow(Display* d, int x, int y, int width, int height, bool quadrants = false);
    ~TestWindow();
    Window id() const { return window_; }

  private:
    Display* d_;
    Window window_;
};

// A test on a private server, the shared one unless the suite names another, with a connection
// of its own and the screen put back to the primary output alone around it. A suite's own SetUp
// calls this one first and returns when it left no connection (skipped or failed).
class XorgTest : public ::testing::Test {
  protected:
    explicit XorgTest(XorgServer* (*server)() = XorgServer::shared,
                      const std::string& (*skipReason)() = XorgServer::sharedSkipReason)
        : serverOf_(server), skipReasonOf_(skipReason) {}
    void SetUp() override {
        server_ = serverOf_();
        if (!server_) GTEST_SKIP() << skipReasonOf_();
        d_ = openDisplay(server_->displayName());
        ASSERT_TRUE(d_);
        resetScreen(d());
    }
    void TearDown() override {
        if (d_) resetScreen(d());
    }
    Display* d() const { return d_.get(); }

    XorgServer* (*serverOf_)();
    const std::string& (*skipReasonOf_)();
    XorgServer* server_ = nullptr;
    DisplayPtr d_;
};

}  // namespace panelora::test
