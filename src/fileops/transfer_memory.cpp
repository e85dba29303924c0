#include "fileops/transfer_memory.h"

#include <malloc.h>

namespace quorvale::fileops {

void shareHeapAcrossThreads() {
    // Only a hint to the allocator: nothing changes where it is not glibc's.
#ifdef M_ARENA_MAX
    ::mallopt(M_ARENA_MAX, 1);
#endif
}

}  // namespace quorvale::fileops
