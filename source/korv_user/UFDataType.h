// Public: the absent values of the library's base types.
//
// A numeric field that carries no value holds the null value of its type;
// compare for exact equality. A NaN is never the absent value.
#pragma once

#include <cstdint>

namespace BRAX {
namespace KORV_USER_API {

struct UFBaseFloatType {
    // The largest finite double, bit pattern 0x7FEFFFFFFFFFFFFF.
    static constexpr double NULL_VALUE = 1.7976931348623157e308;
};

struct UFBaseIntType {
    static constexpr int32_t NULL_VALUE = 2147483647;
};

struct UFBaseLongType {
    static constexpr int64_t NULL_VALUE = 9223372036854775807LL;
};

struct UFBaseWordType {
    static constexpr int16_t NULL_VALUE = 0x7FFF;
};

struct UFBaseCharType {
    static constexpr char NULL_VALUE = 0x7F;
};

struct UFBaseStringType {
    static constexpr const char* NULL_VALUE = "";
};

}  // namespace KORV_USER_API
}  // namespace BRAX
