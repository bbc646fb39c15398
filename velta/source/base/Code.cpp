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

template <typename S>
S zigzag_decode(typename std::make_unsigned<S>::type value)
{
    using U = typename std::make_unsigned<S>::type;
    U half = static_cast<U>(value >> 1);
    return static_cast<S>((value & 1) != 0 ? static_cast<U>(~half) : half);
}

template <typename S>
int var_int_decode(const unsigned char* in, int size, S& value)
{
    typename std::make_unsigned<S>::type raw;
    int n = var_uint_decode(in, size, raw);
    if (n > 0)
        value = zigzag_decode<S>(raw);
    return n;
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

int var_int16_decode(const unsigned char* in, int size, int16_t& value)
{
    return var_int_decode(in, size, value);
}

int var_int32_decode(const unsigned char* in, int size, int32_t& value)
{
    return var_int_decode(in, size, value);
}

int var_int64_decode(const unsigned char* in, int size, int64_t& value)
{
    return var_int_decode(in, size, value);
}

}  // namespace CODE
}  // namespace VELTA
