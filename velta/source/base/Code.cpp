#include "velta/source/base/Code.h"

namespace VELTA {
namespace CODE {

namespace {

// Zigzag in the unsigned type of the same width, so that the most negative
// value maps without overflow: v >= 0 gives 2v, v < 0 gives -2v - 1.
template <typename S>
typename std::make_unsigned<S>::type zigzag_encode(S value)
{
    using U = typename std::make_unsigned<S>::type;
    U doubled = static_cast<U>(static_cast<U>(value) << 1);
    return value < 0 ? static_cast<U>(~doubled) : doubled;
}

}  // namespace

int var_int16_encode(unsigned char* out, int16_t value)
{
    return var_uint_encode(out, zigzag_encode(value));
}

int var_int32_encode(unsigned char* out, int32_t value)
{
    return var_uint_encode(out, zigzag_encode(value));
}

int var_int64_encode(unsigned char* out, int64_t value)
{
    return var_uint_encode(out, zigzag_encode(value));
}

}  // namespace CODE
}  // namespace VELTA
