// Internal: the one-character enumeration values of the wire protocols.
//
// MDQP records and MIRP events carry these as single characters. The values
// shared with the public interface are the same characters; the market data
// entry sides and the price level events exist only on the wire.
#pragma once

namespace BRAX {
namespace KORV {

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
// Language.
constexpr char LANG_Chinese = '0';
constexpr char LANG_English = '1';
// Market data entry side: a bid entry goes to the bids, any other to the asks.
constexpr char MDET_Bid = '0';
constexpr char MDET_Ask = '1';
// Price level events.
constexpr char MBP_EVENT_New = '1';
constexpr char MBP_EVENT_Change = '2';
constexpr char MBP_EVENT_Delete = '3';

}  // namespace KORV
}  // namespace BRAX
