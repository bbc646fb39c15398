// Public: the records the library hands to KorvMarketDataHandler, and the
// one-character enumeration constants.
//
// Applications compiled separately from the library rely on these layouts:
// natural alignment, no packing, field order and widths fixed. The checks at
// the end of this file keep them so.
#pragma once

#include <cstddef>

#include "UFDataType.h"

namespace BRAX {
namespace KORV_USER_API {

// The topic's current settlement session, carried unchanged from the server.
struct TopicSettlementSession {
    char SessionDay[9];
    char SessionCode[9];
    int SessionNo;
};

// The time of the topic's latest state, local time.
struct TopicSnapTime {
    char SnapDate[9];  // "%Y%m%d"
    char SnapTime[9];  // "%H:%M:%S"
    int SnapMillisec;
};

// The state of one instrument. Doubles the server sent as absent hold
// UFBaseFloatType::NULL_VALUE.
struct TopicMarketData {
    char InstrumentID[31];
    double LevelBasePrice;
    double SnapValue1;
    double SnapValue2;
    double SnapValue3;
    double LastPrice;
    int Volume;
    double Turnover;
    double OpenInterest;
    double OpenPrice;
    double HighPrice;
    double LowPrice;
    double ClosePrice;
    double SettlementPrice;
    double UpperLimitPrice;
    double LowerLimitPrice;
    double Delta;
    int SnapValue4;
    char UpdateDate[9];  // "%Y%m%d"
    char UpdateTime[9];  // "%H:%M:%S"
    int UpdateMillisec;
};

// One price level. The bids and asks arrays a handler receives hold the
// levels in order, then an end mark (Price == UFBaseFloatType::NULL_VALUE,
// Volume 0); entries behind the end mark are undefined and must not be read.
struct TopicPriceEntry {
    double Price;
    int Volume;
};

// Entries of a bids or asks array: 20 levels and room for the end mark.
constexpr int TOPIC_PRICE_ENTRY_COUNT = 21;

// Product class.
constexpr char CA_NULL = '0';
constexpr char PC_Futures = '1';
constexpr char PC_Options = '2';
constexpr char PC_Combination = '3';
constexpr char PC_Spot = '4';
constexpr char PC_EFP = '5';
// Option type.
constexpr char OT_NotOptions = '0';
constexpr char OT_CallOptions = '1';
constexpr char OT_PutOptions = '2';
// Instrument status.
constexpr char IS_BeforeTrading = '0';
constexpr char IS_NoTrading = '1';
constexpr char IS_Continous = '2';
constexpr char IS_AuctionOrdering = '3';
constexpr char IS_AuctionBalance = '4';
constexpr char IS_AuctionMatch = '5';
constexpr char IS_Closed = '6';
constexpr char IS_TransactionProcessing = '7';
// Direction.
constexpr char D_Buy = '0';
constexpr char D_Sell = '1';
// Language.
constexpr char LANG_Chinese = '0';
constexpr char LANG_English = '1';

static_assert(sizeof(TopicSettlementSession) == 24, "TopicSettlementSession layout");
static_assert(offsetof(TopicSettlementSession, SessionDay) == 0, "TopicSettlementSession layout");
static_assert(offsetof(TopicSettlementSession, SessionCode) == 9, "TopicSettlementSession layout");
static_assert(offsetof(TopicSettlementSession, SessionNo) == 20, "TopicSettlementSession layout");

static_assert(sizeof(TopicSnapTime) == 24, "TopicSnapTime layout");
static_assert(offsetof(TopicSnapTime, SnapDate) == 0, "TopicSnapTime layout");
static_assert(offsetof(TopicSnapTime, SnapTime) == 9, "TopicSnapTime layout");
static_assert(offsetof(TopicSnapTime, SnapMillisec) == 20, "TopicSnapTime layout");

static_assert(sizeof(TopicMarketData) == 192, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, InstrumentID) == 0, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, LevelBasePrice) == 32, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, SnapValue1) == 40, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, SnapValue2) == 48, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, SnapValue3) == 56, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, LastPrice) == 64, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, Volume) == 72, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, Turnover) == 80, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, OpenInterest) == 88, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, OpenPrice) == 96, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, HighPrice) == 104, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, LowPrice) == 112, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, ClosePrice) == 120, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, SettlementPrice) == 128, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, UpperLimitPrice) == 136, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, LowerLimitPrice) == 144, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, Delta) == 152, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, SnapValue4) == 160, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, UpdateDate) == 164, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, UpdateTime) == 173, "TopicMarketData layout");
static_assert(offsetof(TopicMarketData, UpdateMillisec) == 184, "TopicMarketData layout");

static_assert(sizeof(TopicPriceEntry) == 16, "TopicPriceEntry layout");
static_assert(offsetof(TopicPriceEntry, Price) == 0, "TopicPriceEntry layout");
static_assert(offsetof(TopicPriceEntry, Volume) == 8, "TopicPriceEntry layout");

}  // namespace KORV_USER_API
}  // namespace BRAX
