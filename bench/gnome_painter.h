// What changes on a headless GNOME's virtual monitor (or sway's output) during a benchmark: a
// window of our own repainted whole at a given rate, in a process of its own (its CPU is not the
// measured one's).
#pragma once

#include <sys/types.h>

#include <string>

namespace panelora::bench {

// Forks a painter that waits for the output at (x, y) of the compositor at `socket`, opens a
// window there and repaints it `fps` times a second until killed. Only Wayland is spoken in the
// child, so the caller may have used GLib. -1 when fork fails.
pid_t startGnomePainter(const std::string& socket, int x, int y, int fps);
// The same on the output called `outputName` (sway's outputs are found by name).
pid_t startPainter(const std::string& socket, const std::string& outputName, int fps);
// Kills and reaps it.
void stopGnomePainter(pid_t painter);

}  // namespace panelora::bench
