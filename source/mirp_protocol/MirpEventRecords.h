// Internal: the market events carried in MIRP packet bodies, as plain records.
//
// The field codec fills them from the wire (and the encoder writes them on
// the sending side); the topic book applies them. Each record lists its
// elements in the order the wire carries them.
//
// Prices are signed 32-bit tick offsets from a base: price = offset x
// PriceTick + base. The base is the market data's LevelBasePrice for a level
// event and the instrument's TradeBasePrice for trade slices and daily prices.
#pragma once

#include <cstdint>

namespace BRAX {
namespace KORV {

// A change of one price level.
struct MIRP_MDEntryEvent {
    char EventType;       // MBP_EVENT_New, MBP_EVENT_Change or MBP_EVENT_Delete
    char EntryType;       // MDET_Bid; any other value is the ask side
    int32_t PriceLevel;   // 1-based level number on that side
    int32_t PriceOffset;  // ticks from LevelBasePrice
    int32_t Volume;
    int32_t EventAttr1;  // carried, not used by the book
};

// The trades of one instrument since its previous slice.
struct MIRP_TradeSlice {
    int32_t LastPriceOffset;  // ticks from TradeBasePrice
    int32_t Volume;
    int64_t TurnoverOffset;  // sum of price offset x quantity over the trades
    int64_t OpenInterestChange;
};

// The daily prices share one layout but are distinct types, so that the book
// can take each one through its own overload.
struct MIRP_HighPrice {
    int32_t PriceOffset;
};
struct MIRP_LowPrice {
    int32_t PriceOffset;
};
struct MIRP_OpenPrice {
    int32_t PriceOffset;
};
struct MIRP_ClosePrice {
    int32_t PriceOffset;
};
struct MIRP_UpperLimitPrice {
    int32_t PriceOffset;
};
struct MIRP_LowerLimitPrice {
    int32_t PriceOffset;
};
struct MIRP_SettlementPrice {
    int32_t PriceOffset;
};

// Used as sent: no offset, no tick.
struct MIRP_Delta {
    double Delta;
};

}  // namespace KORV
}  // namespace BRAX
