// A small Wayland client for system tests and the demo on the headless GNOME session: one
// fullscreen window on the output at a given place of the layout, filled with one colour, which
// records the keys, buttons and scrolls it receives and can set its own pointer image.
//
//   auto canvas = WaylandCanvas::open({gnome->waylandSocket(), x, y, 0xFFFF0000}, &error);
//   canvas->fill(0xFF0000FF);
//   eventually([&] { return !canvas->received().keys.empty(); });
//
// What the compositor sent is read at each call below (so a test that polls sees it, and the
// canvas answers the compositor's pings); calls may come from any thread, one at a time under
// the canvas's lock. Destroying the canvas closes the window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace panelora::test {

class WaylandCanvas {
  public:
    struct Options {
        std::string socket;  // the compositor's socket path
        int outputX = 0;     // the output's top-left corner in the layout
        int outputY = 0;
        uint32_t argb = 0xFF000000;
    };
    // A key or a pointer button as evdev codes name it (KEY_A 30, BTN_LEFT 0x110), and for a
    // button where the pointer was, in the window's coordinates. Equal when the same key went
    // the same way, wherever.
    struct Key {
        uint32_t code = 0;
        bool pressed = false;
        double x = 0, y = 0;
        bool operator==(const Key& other) const {
            return code == other.code && pressed == other.pressed;
        }
    };

    // Waits until the window shows its first picture; nothing, with `error`, when it cannot.
    static std::unique_ptr<WaylandCanvas> open(const Options& options, std::string* error);
    // The same on the output called `outputName` (wl_output 4's name), whatever its place:
    // wlroots tells clients no output's place.
    static std::unique_ptr<WaylandCanvas> open(const Options& options,
                                               const std::string& outputName, std::string* error);
    ~WaylandCanvas();
    WaylandCanvas(const WaylandCanvas&) = delete;
    WaylandCanvas& operator=(const WaylandCanvas&) = delete;

    // Repaints the whole window; returns once the picture is committed.
    void fill(uint32_t argb);
    // The pointer image while the pointer is over the window: a square of `side` of one colour,
    // its hot spot top-left. Set at once when the pointer is over it.
    void setPointer(int side, uint32_t argb);

    // What the window received until now.
    struct Received {
        std::vector<Key> keys, buttons;
        // Sums of the axis values (Wayland's signs: positive scrolls towards the end).
        double vertical = 0, horizontal = 0;
        bool pointerInside = false;
    };
    Received received() const;
    // The window's size in its own coordinates (the monitor's logical size).
    std::pair<int, int> size() const;

    struct State;

  private:
    explicit WaylandCanvas(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace panelora::test
