// Internal to the Python package: one delivered instrument, copied out of the
// handler call into a flat record that NumPy reads in place.
//
// Every double the library may leave absent holds NaN here instead of the
// library's largest-double marker, so that arithmetic on a column of prices
// skips absent ones without a mask. A side holds its levels from the best,
// with its count; levels past the count hold NaN and volume 0 (the end mark
// of the C++ side is not copied).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "source/korv_feed/FeedRecord.h"
#include "source/korv_user/KorvUserApiStruct.h"

namespace korv_python {

constexpr int LEVEL_COUNT = BRAX::KORV_USER_API::TOPIC_PRICE_ENTRY_COUNT - 1;

struct UpdateRecord {
    // CLOCK_MONOTONIC nanoseconds when the handler copied the update, the
    // clock of Python's time.monotonic_ns(): what the queue added to the
    // delivery is visible to the reader.
    int64_t handler_ns;
    int32_t topic_id;
    // The topic's packet number at the delivery: the last packet of the
    // sequence whose commit delivered the update, or the snapshot's number.
    uint32_t packet_no;
    char session_day[9];
    char session_code[9];
    int32_t session_no;
    char snap_date[9];
    char snap_time[9];
    int32_t snap_millisec;
    char instrument_id[31];
    double last_price;
    double level_base_price;
    double snap_value1;
    double snap_value2;
    double open_price;
    double high_price;
    double low_price;
    int32_t volume;
    double turnover;
    double open_interest;
    double close_price;
    double settlement_price;
    double upper_limit_price;
    double lower_limit_price;
    double snap_value3;
    double delta;
    int32_t snap_value4;
    char update_date[9];
    char update_time[9];
    int32_t update_millisec;
    int32_t bid_count;
    int32_t ask_count;
    double bid_price[LEVEL_COUNT];
    int32_t bid_volume[LEVEL_COUNT];
    double ask_price[LEVEL_COUNT];
    int32_t ask_volume[LEVEL_COUNT];
};

// Fills record from one handler call's arguments, during the call (the
// packet number is the delivery's).
void copy_update(UpdateRecord& record, int topic_id,
                 const BRAX::KORV_USER_API::TopicSettlementSession* session,
                 const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                 const BRAX::KORV_USER_API::TopicMarketData* market_data,
                 const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                 const BRAX::KORV_USER_API::TopicPriceEntry* asks);
// Fills record from an update the conflating queue kept.
void copy_update(UpdateRecord& record, const KORV::FEED::FeedRecord& update);

// One column of the record as NumPy describes it: name, type string
// ("<i4", "<f8", "S9"), element count (1 for a scalar), byte offset.
struct RecordColumn {
    const char* name;
    const char* type;
    int count;
    size_t offset;
};

// Every column of UpdateRecord, in order; the one description of its layout.
const std::vector<RecordColumn>& record_columns();

}  // namespace korv_python
