#include "platform/linux/shell/freed_memory.h"

#include <malloc.h>

namespace panelora {

void returnFreedMemory() {
    malloc_trim(0);  // every arena, also the pages inside their heaps
}

}  // namespace panelora
