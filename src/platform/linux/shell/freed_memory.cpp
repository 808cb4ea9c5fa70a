#include "platform/linux/shell/freed_memory.h"

#include <malloc.h>

namespace panelora {

void boundAllocatorCaching() {
    // Setting it also fixes the trim threshold at its default (128 KiB).
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
}

void returnFreedMemory() {
    malloc_trim(0);  // the main arena's top, and free pages inside every arena
}

}  // namespace panelora
