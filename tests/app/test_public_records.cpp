#include "source/korv_user/KorvUserApi.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "source/mdqp_protocol/KorvProtocolConstants.h"

using namespace BRAX::KORV_USER_API;

TEST(AbsentValues, HaveTheirFixedValues)
{
    const double absent = UFBaseFloatType::NULL_VALUE;
    uint64_t bits;
    memcpy(&bits, &absent, sizeof bits);
    EXPECT_EQ(bits, 0x7FEFFFFFFFFFFFFFull);
    EXPECT_EQ(UFBaseIntType::NULL_VALUE, 2147483647);
    EXPECT_EQ(UFBaseLongType::NULL_VALUE, INT64_MAX);
    EXPECT_EQ(UFBaseWordType::NULL_VALUE, 0x7FFF);
    EXPECT_EQ(UFBaseCharType::NULL_VALUE, 0x7F);
    EXPECT_STREQ(UFBaseStringType::NULL_VALUE, "");
}

TEST(AbsentValues, OnlyTheExactValueIsAbsent)
{
    // Volatile so that the comparisons happen at run time, as a consumer's do.
    volatile double field = UFBaseFloatType::NULL_VALUE;
    EXPECT_TRUE(field == UFBaseFloatType::NULL_VALUE);
    field = std::nan("");
    EXPECT_FALSE(field == UFBaseFloatType::NULL_VALUE);
    field = std::nextafter(UFBaseFloatType::NULL_VALUE, 0.0);
    EXPECT_FALSE(field == UFBaseFloatType::NULL_VALUE);
    field = HUGE_VAL;
    EXPECT_FALSE(field == UFBaseFloatType::NULL_VALUE);
}

// The wire protocol repeats the public constants; the two copies must agree.
TEST(EnumerationConstants, ProtocolValuesMatchThePublicOnes)
{
#define SAME(name) EXPECT_EQ(BRAX::KORV::name, BRAX::KORV_USER_API::name) << #name
    SAME(CA_NULL);
    SAME(PC_Futures);
    SAME(PC_Options);
    SAME(PC_Combination);
    SAME(PC_Spot);
    SAME(PC_EFP);
    SAME(OT_NotOptions);
    SAME(OT_CallOptions);
    SAME(OT_PutOptions);
    SAME(IS_BeforeTrading);
    SAME(IS_NoTrading);
    SAME(IS_Continous);
    SAME(IS_AuctionOrdering);
    SAME(IS_AuctionBalance);
    SAME(IS_AuctionMatch);
    SAME(IS_Closed);
    SAME(IS_TransactionProcessing);
    SAME(LANG_Chinese);
    SAME(LANG_English);
#undef SAME
}
