#include "velta/source/task/AtomValue.h"

// Out of line so that a call is an optimisation barrier; it emits no fence.
void memory_barrier()
{
    __asm__ __volatile__("" ::: "memory");
}
