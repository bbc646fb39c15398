// Internal: the absent values of plain record fields, as the CSV records and
// field descriptions read and write them. They equal the library's public
// UFBase*Type::NULL_VALUE constants, which belong to a layer above the
// framework and so cannot be used here.
#pragma once

#include <cfloat>

constexpr char NULL_CHAR_VALUE = 0x7F;
constexpr short NULL_SHORT_VALUE = 0x7FFF;
constexpr int NULL_INT_VALUE = 2147483647;
constexpr long long NULL_LONG_VALUE = 9223372036854775807LL;
constexpr double NULL_DOUBLE_VALUE = DBL_MAX;
