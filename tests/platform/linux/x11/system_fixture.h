// Shared fixture of the X11 input system tests: the private Xorg server, a test connection and
// the backends under test, with the screen put back to one primary output around each test.
#pragma once

#include "x11_helpers.h"  // first: gtest before Xlib, whose macros break its templates

#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_input_backends.h"
#include "support/main_queue.h"

namespace panelora::test {

// Collects reconfiguration calls and whether they ran on the main queue.
struct Recorder {
    Collected<std::pair<DisplayID, uint32_t>> calls;
    std::atomic<bool> allOnMainQueue{true};

    DisplayGeometry::ReconfigurationCallback callback() {
        return [this](DisplayID display, uint32_t flags) {
            if (!mainQueue()->isCurrent()) allOnMainQueue = false;
            calls.add({display, flags});
        };
    }
    bool waitFor(DisplayID display, uint32_t flag) {
        return eventually([&] {
            return std::ranges::any_of(
                calls.items(), [&](auto c) { return c.first == display && c.second & flag; });
        });
    }
};

class X11InputTest : public XorgTest {
  protected:
    // Enables a spare output and waits until the geometry's watcher has reported it, so that a
    // later move is not folded into the same notification as the addition.
    std::unique_ptr<SpareOutput> enableSpare(const std::string& name, int width, int height, int x,
                                             int y) {
        Recorder added;
        auto token = geometry().addReconfigurationCallback(added.callback());
        auto spare = SpareOutput::enable(d(), name, width, height, x, y);
        const bool seen =
            spare && added.waitFor(DisplayID(spare->output()), DisplayChange::addFlag);
        geometry().removeReconfigurationCallback(token);
        mainQueue()->flush();  // no call into `added` after this
        EXPECT_TRUE(seen) << "the watcher did not report " << name;
        return spare;
    }
    // Where RandR shows a display in the root window.
    Rect rootBounds(DisplayID display) {
        const auto placement = x11::findDisplay(d(), display);
        return placement ? placement->bounds : Rect{};
    }

    void SetUp() override {
        XorgTest::SetUp();
        if (!d_) return;
        std::string why;
        auto backends =
            createX11InputBackends({.displayName = server_->displayName(), .scale = 1}, &why);
        ASSERT_TRUE(backends) << why;
        backends_ = std::move(*backends);
    }
    void TearDown() override {
        backends_ = {};
        XorgTest::TearDown();
    }

    X11EventPoster& poster() { return *backends_.poster; }
    X11DisplayGeometry& geometry() { return *backends_.geometry; }
    X11CursorSource& cursor() { return *backends_.cursor; }

    X11InputBackends backends_;
};

}  // namespace panelora::test
