// Internal (benchmarks): heap bytes in use.
//
// What a book or a library instance holds is read as the growth of this
// figure: resident size would not show memory that an earlier benchmark
// freed and this one reused.
#pragma once

#include <malloc.h>

inline long heap_bytes()
{
    struct mallinfo2 info = mallinfo2();
    return long(info.uordblks + info.hblkhd);
}
