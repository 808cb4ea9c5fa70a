// What the program tests on the Wayland desktops (GNOME, sway) check alike: a tablet that touches
// a window of one colour on its display, and what it saw once unplugged. The keys and scrolls a
// desktop's poster types are the conformance suite's; the tablet's keys through the program, the
// program test's on Xorg.
#pragma once

#include "png_reader.h"
#include "tool_rig.h"
#include "wayland_canvas.h"

namespace panelora::test {

// A click at the window's centre, then a hover that moves the pointer (cursor packets): late
// enough for the window to be open on the new display.
inline constexpr const char* kTabletInput =
    "at 5000 touch down 0.5 0.5; at 5100 touch up 0.5 0.5; at 6000 touch hover 0.25 0.25";
inline const std::vector<WaylandCanvas::Key> kTabletClick{{0x110, true}, {0x110, false}};

// The tablet's report and last picture: no protocol violation, decoded frames of `width` ×
// `height`, cursor packets or none, and the window's colour away from the pointer.
inline void expectTabletSaw(TabletRig& rig, int width, int height, uint32_t colour,
                            bool cursorPackets) {
    auto report = rig.finish();
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["violationCount"], 0) << report->dump(2);
    EXPECT_GT((*report)["frames"]["decoded"].get<int>(), 0) << report->dump(2);
    EXPECT_EQ((*report)["lastPicture"]["width"], width);
    EXPECT_EQ((*report)["lastPicture"]["height"], height);
    EXPECT_EQ((*report)["cursorPositions"].get<int>() > 0, cursorPackets);
    EXPECT_EQ((*report)["cursorImages"].get<int>() > 0, cursorPackets);
    auto picture = readPng(rig.pngPath());
    ASSERT_TRUE(picture);
    const uint32_t sample = picture->rgbAt(0.75, 0.75);
    for (int shift : {16, 8, 0}) {
        EXPECT_NEAR(int(sample >> shift & 0xFF), int(colour >> shift & 0xFF), 12)
            << "the tablet's picture is not the window's colour: " << std::hex << sample;
    }
}

}  // namespace panelora::test
