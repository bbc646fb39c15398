#include "velta/source/base/Code.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using namespace VELTA::CODE;

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes encode32(int32_t value)
{
    unsigned char out[16];
    int n = var_int32_encode(out, value);
    return Bytes(out, out + n);
}

Bytes encode16(int16_t value)
{
    unsigned char out[16];
    int n = var_int16_encode(out, value);
    return Bytes(out, out + n);
}

Bytes encode64(int64_t value)
{
    unsigned char out[16];
    int n = var_int64_encode(out, value);
    return Bytes(out, out + n);
}

}  // namespace

TEST(VarInt32, EncodesKnownVectorsAndDecodesThemBack)
{
    struct Vector {
        int32_t value;
        Bytes bytes;
    };
    const Vector vectors[] = {
        {0, {0x00}},
        {63, {0x7E}},
        {64, {0x80, 0x01}},
        {-1, {0x01}},
        {-64, {0x7F}},
        {-65, {0x81, 0x01}},
        {300, {0xD8, 0x04}},
        {8191, {0xFE, 0x7F}},
        {8192, {0x80, 0x80, 0x01}},
        {2147483647, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}},
        {-2147483647, {0xFD, 0xFF, 0xFF, 0xFF, 0x0F}},
        {std::numeric_limits<int32_t>::min(), {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
    };
    for (const Vector& v : vectors) {
        EXPECT_EQ(encode32(v.value), v.bytes) << v.value;
        int32_t decoded = 12345;
        EXPECT_EQ(var_int32_decode(v.bytes.data(), static_cast<int>(v.bytes.size()), decoded),
                  static_cast<int>(v.bytes.size()));
        EXPECT_EQ(decoded, v.value);
    }
}

TEST(VarInt16, EncodesTheExtremes)
{
    EXPECT_EQ(encode16(32767), (Bytes{0xFE, 0xFF, 0x03}));
    EXPECT_EQ(encode16(-32768), (Bytes{0xFF, 0xFF, 0x03}));
    for (int v : {-32768, -32767, -1, 0, 1, 127, 32767}) {
        Bytes bytes = encode16(static_cast<int16_t>(v));
        int16_t decoded = 0;
        EXPECT_EQ(var_int16_decode(bytes.data(), static_cast<int>(bytes.size()), decoded),
                  static_cast<int>(bytes.size()));
        EXPECT_EQ(decoded, v);
    }
}

TEST(VarInt64, RoundTripsEveryMagnitude)
{
    const int64_t values[] = {0,
                              1,
                              -1,
                              1LL << 31,
                              -(1LL << 31) - 1,
                              1LL << 62,
                              std::numeric_limits<int64_t>::max(),
                              std::numeric_limits<int64_t>::min()};
    for (int64_t v : values) {
        Bytes bytes = encode64(v);
        EXPECT_LE(bytes.size(), 10u);
        int64_t decoded = 0;
        EXPECT_EQ(var_int64_decode(bytes.data(), static_cast<int>(bytes.size()), decoded),
                  static_cast<int>(bytes.size()));
        EXPECT_EQ(decoded, v);
    }
    EXPECT_EQ(encode64(std::numeric_limits<int64_t>::min()).size(), 10u);
}

TEST(VarInt, TruncatedInputIsRefusedAndLeavesTheOutput)
{
    const unsigned char open[] = {0x80, 0x80};
    int32_t value = 77;
    EXPECT_EQ(var_int32_decode(open, 2, value), -20);
    EXPECT_EQ(value, 77);

    // Every prefix of a valid encoding is refused without reading further.
    Bytes full = encode64(std::numeric_limits<int64_t>::min());
    for (size_t n = 0; n < full.size(); ++n) {
        Bytes prefix(full.begin(), full.begin() + static_cast<long>(n));
        int64_t out = 5;
        EXPECT_EQ(var_int64_decode(prefix.data(), static_cast<int>(n), out), -20) << n;
        EXPECT_EQ(out, 5);
    }
}

TEST(VarInt, OverlongEncodingIsAFormatError)
{
    // Groups past the longest form would need shifts beyond the type's width.
    const unsigned char six[] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x00};
    int32_t v32 = 3;
    EXPECT_EQ(var_int32_decode(six, 6, v32), EC_FORMAT);
    EXPECT_EQ(v32, 3);

    const unsigned char four[] = {0x81, 0x81, 0x81, 0x01};
    int16_t v16 = 3;
    EXPECT_EQ(var_int16_decode(four, 4, v16), EC_FORMAT);
    EXPECT_EQ(v16, 3);

    unsigned char eleven[11];
    memset(eleven, 0xFF, sizeof(eleven));
    eleven[10] = 0x01;
    int64_t v64 = 3;
    EXPECT_EQ(var_int64_decode(eleven, 11, v64), EC_FORMAT);
    EXPECT_EQ(v64, 3);
}

TEST(VarUint, DecodesOnlyItsOwnGroups)
{
    const unsigned char bytes[] = {0xAC, 0x02, 0x7F};
    uint32_t value = 0;
    EXPECT_EQ(var_uint_decode(bytes, 3, value), 2);
    EXPECT_EQ(value, 300u);
}

TEST(Literal, CharAndDoubleNeedTheirWholeWidth)
{
    unsigned char out[8];
    EXPECT_EQ(literal_encode<char>(out, 'x'), 1);
    char c = 0;
    EXPECT_EQ(literal_decode<char>(out, 0, c), -20);
    EXPECT_EQ(literal_decode<char>(out, 1, c), 1);
    EXPECT_EQ(c, 'x');

    EXPECT_EQ(literal_encode<double>(out, -2.5), 8);
    double d = 1.0;
    EXPECT_EQ(literal_decode<double>(out, 7, d), -20);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(literal_decode<double>(out, 8, d), 8);
    EXPECT_EQ(d, -2.5);
}
