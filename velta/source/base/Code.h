// Internal: the framework's compact integer and literal codec.
//
// Integers travel as base-128 groups, least significant first, with the high
// bit of every byte but the last set; signed integers are zigzag-mapped first
// (0, -1, 1, -2 ... become 0, 1, 2, 3 ...) so that small magnitudes of either
// sign stay short. Literals are the value's bytes in memory order.
//
// Encoders never look at a size: the caller guarantees room for the longest
// form (3, 5 and 10 bytes for 16, 32 and 64-bit integers). Decoders never read
// beyond `size` bytes and store nothing when they fail.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "velta/source/base/ErrorCode.h"

namespace VELTA {
namespace CODE {

// Longest encoding of an unsigned T: 3, 5 or 10 bytes.
template <typename T>
constexpr int var_uint_max_size()
{
    return (std::numeric_limits<T>::digits + 6) / 7;
}

// Returns the number of bytes written.
template <typename T>
int var_uint_encode(unsigned char* out, T value)
{
    static_assert(std::is_unsigned<T>::value, "var_uint_encode takes an unsigned type");
    int n = 0;
    while (value > 127) {
        out[n++] = static_cast<unsigned char>((value & 0x7F) | 0x80);
        value = static_cast<T>(value >> 7);
    }
    out[n++] = static_cast<unsigned char>(value);
    return n;
}

// Returns the bytes consumed; EC_INCOMPLETE (-ENOTDIR) when the input ends
// before the last group, EC_FORMAT when the groups run on past the longest
// encoding of T (their bits could not be placed in T).
template <typename T>
int var_uint_decode(const unsigned char* in, int size, T& value)
{
    static_assert(std::is_unsigned<T>::value, "var_uint_decode takes an unsigned type");
    T result = 0;
    int shift = 0;
    for (int i = 0; i < size; ++i) {
        T group = static_cast<T>(in[i] & 0x7F);
        result = static_cast<T>(result + static_cast<T>(group << shift));
        if (in[i] < 0x80) {
            value = result;
            return i + 1;
        }
        if (i + 1 == var_uint_max_size<T>())
            return EC_FORMAT;
        shift += 7;
    }
    return EC_INCOMPLETE;
}

int var_int16_encode(unsigned char* out, int16_t value);
int var_int32_encode(unsigned char* out, int32_t value);
int var_int64_encode(unsigned char* out, int64_t value);

// Inline: the field codecs decode several integers per event, and a call
// per integer costs more than the decoding of a one-byte group.
template <typename S>
inline int var_int_decode(const unsigned char* in, int size, S& value)
{
    using U = typename std::make_unsigned<S>::type;
    U raw;
    int n;
    if (size > 0 && in[0] < 0x80) {
        raw = in[0];
        n = 1;
    } else {
        n = var_uint_decode(in, size, raw);
        if (n <= 0)
            return n;
    }
    U half = static_cast<U>(raw >> 1);
    value = static_cast<S>((raw & 1) != 0 ? static_cast<U>(~half) : half);
    return n;
}

inline int var_int16_decode(const unsigned char* in, int size, int16_t& value)
{
    return var_int_decode(in, size, value);
}
inline int var_int32_decode(const unsigned char* in, int size, int32_t& value)
{
    return var_int_decode(in, size, value);
}
inline int var_int64_decode(const unsigned char* in, int size, int64_t& value)
{
    return var_int_decode(in, size, value);
}

// char and double: 1 and 8 bytes.
template <typename T>
int literal_encode(unsigned char* out, T value)
{
    static_assert(std::is_trivially_copyable<T>::value, "literals are plain values");
    memcpy(out, &value, sizeof(T));
    return static_cast<int>(sizeof(T));
}

template <typename T>
int literal_decode(const unsigned char* in, int size, T& value)
{
    static_assert(std::is_trivially_copyable<T>::value, "literals are plain values");
    if (size < static_cast<int>(sizeof(T)))
        return EC_INCOMPLETE;
    memcpy(&value, in, sizeof(T));
    return static_cast<int>(sizeof(T));
}

}  // namespace CODE
}  // namespace VELTA
