// Memory that sessions free, given back to the system. A session at 2732×2048 frees well over
// 100 MB of frame buffers and codec state when it ends. With glibc's dynamic thresholds, freeing
// one large buffer raises the mmap threshold to its size and the trim threshold to twice that, so
// every per-thread arena then kept some 17 MB of freed memory for good, one more arena with each
// session. Fixed thresholds give large buffers mappings of their own, unmapped when freed.
#pragma once

namespace panelora {

// At start-up, before any thread exists.
void boundAllocatorCaching();

// Once the last session of the process has been destroyed; any thread.
void returnFreedMemory();

}  // namespace panelora
