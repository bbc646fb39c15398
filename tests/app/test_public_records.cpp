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

// Applications and servers agree on these characters, so each is checked
// against its fixed value in the public namespace and, where the wire has a
// copy, in the protocol namespace.
TEST(EnumerationConstants, HaveTheirFixedCharacters)
{
#define BOTH(name, value)                                 \
    EXPECT_EQ(BRAX::KORV_USER_API::name, value) << #name; \
    EXPECT_EQ(BRAX::KORV::name, value) << #name
    BOTH(CA_NULL, '0');
    BOTH(PC_Futures, '1');
    BOTH(PC_Options, '2');
    BOTH(PC_Combination, '3');
    BOTH(PC_Spot, '4');
    BOTH(PC_EFP, '5');
    BOTH(OT_NotOptions, '0');
    BOTH(OT_CallOptions, '1');
    BOTH(OT_PutOptions, '2');
    BOTH(IS_BeforeTrading, '0');
    BOTH(IS_NoTrading, '1');
    BOTH(IS_Continous, '2');
    BOTH(IS_AuctionOrdering, '3');
    BOTH(IS_AuctionBalance, '4');
    BOTH(IS_AuctionMatch, '5');
    BOTH(IS_Closed, '6');
    BOTH(IS_TransactionProcessing, '7');
    BOTH(LANG_Chinese, '0');
    BOTH(LANG_English, '1');
#undef BOTH
    // Directions are public only; entry sides and level events wire only.
    EXPECT_EQ(D_Buy, '0');
    EXPECT_EQ(D_Sell, '1');
    EXPECT_EQ(BRAX::KORV::MDET_Bid, '0');
    EXPECT_EQ(BRAX::KORV::MDET_Ask, '1');
    EXPECT_EQ(BRAX::KORV::MBP_EVENT_New, '1');
    EXPECT_EQ(BRAX::KORV::MBP_EVENT_Change, '2');
    EXPECT_EQ(BRAX::KORV::MBP_EVENT_Delete, '3');
}
