// The core's injectors running on the X11 backends against the real server, under Xft scaling.
#include "system_fixture.h"  // first: gtest before the X headers

#include <X11/Xatom.h>

#include "input/pointer_injector.h"
#include "platform/linux/x11/x11_display_registry.h"
#include "platform/linux/x11/x11_platform.h"
#include "video/virtual_display.h"

namespace panelora::test {
namespace {

using X11CoreTest = X11InputTest;

// Xft.dpi 192 and no GDK_SCALE, as GNOME and Cinnamon set it on a HiDPI X11 desktop: the display
// is made at twice its size in points, and input and geometry count the same points.
TEST_F(X11CoreTest, XftDpiScalesTheDisplayAndTheInputAlike) {
    const char* resources = "Xft.dpi:\t192\n";
    Atom resourceManager = XInternAtom(d(), "RESOURCE_MANAGER", False);
    XChangeProperty(d(), DefaultRootWindow(d()), resourceManager, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources),
                    static_cast<int>(std::strlen(resources)));
    XSync(d(), False);
    std::string why;
    auto platform = X11Platform::create(server_->displayName(), &why);
    XDeleteProperty(d(), DefaultRootWindow(d()), resourceManager);
    XSync(d(), False);
    ASSERT_TRUE(platform) << why;

    auto display = VirtualDisplay::create(platform->virtualDisplays(), StreamProfile::fallback, 1);
    ASSERT_TRUE(display);
    const DisplayID id = display->displayID();
    EXPECT_EQ(x11::displayBounds(d(), id), (Rect{1920, 0, 2048, 1536}));
    EXPECT_EQ(platform->input().geometry->scale(), 2);
    EXPECT_EQ(platform->input().geometry->bounds(id), (Rect{960, 0, 1024, 768}));

    resetInjectionState();
    injectTouch(4, id, 1.0f, 0.5f);  // hover at the right edge
    EXPECT_EQ(pointerPosition(d()), std::pair(1920 + 2047, 768));
}

}  // namespace
}  // namespace panelora::test
