// Giving freed memory back to the system. A session at 2732×2048 frees well over 100 MB of frame
// buffers, codec state and thread arenas when it ends; glibc keeps those pages in the process
// (in per-thread arenas and above a raised mmap threshold) unless asked. Called once the last
// session of the process has been destroyed, from any thread.
#pragma once

namespace panelora {

void returnFreedMemory();

}  // namespace panelora
