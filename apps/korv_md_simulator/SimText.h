// Internal: filling the simulator's fixed-width text fields.
#pragma once

#include <cstddef>
#include <cstdio>

namespace KORV {
namespace SIM {

// At most N - 1 characters of src, NUL-terminated.
template <size_t N>
void sim_copy_text(char (&dst)[N], const char* src)
{
    snprintf(dst, N, "%s", src);
}

}  // namespace SIM
}  // namespace KORV
