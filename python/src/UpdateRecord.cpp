#include "UpdateRecord.h"

#include <cmath>
#include <cstring>

#include "source/korv_user/KorvUserApi.h"
#include "source/korv_user/UFDataType.h"

namespace korv_python {

using namespace BRAX::KORV_USER_API;

namespace {

double price(double value)
{
    return value == UFBaseFloatType::NULL_VALUE ? std::nan("") : value;
}

// Fixed-width text of the library may fill its array without a terminator.
template <size_t N, size_t M>
void copy_text(char (&dst)[N], const char (&src)[M])
{
    static_assert(N == M, "text columns keep the library's width");
    memcpy(dst, src, N);
}

// Copies a side up to its end mark, never past the array.
int copy_side(double* prices, int32_t* volumes, const TopicPriceEntry* side)
{
    int count = 0;
    while (count < LEVEL_COUNT && side[count].Price != UFBaseFloatType::NULL_VALUE) {
        prices[count] = side[count].Price;
        volumes[count] = side[count].Volume;
        ++count;
    }
    for (int level = count; level < LEVEL_COUNT; ++level) {
        prices[level] = std::nan("");
        volumes[level] = 0;
    }
    return count;
}

// The one conversion of an update into a row, whichever way it came.
void fill_update(UpdateRecord& record, int64_t handler_ns, int topic_id, uint32_t packet_no,
                 const TopicSettlementSession* session, const TopicSnapTime* snap_time,
                 const TopicMarketData* md, const TopicPriceEntry* bids,
                 const TopicPriceEntry* asks)
{
    record.handler_ns = handler_ns;
    record.topic_id = topic_id;
    record.packet_no = packet_no;
    copy_text(record.session_day, session->SessionDay);
    copy_text(record.session_code, session->SessionCode);
    record.session_no = session->SessionNo;
    copy_text(record.snap_date, snap_time->SnapDate);
    copy_text(record.snap_time, snap_time->SnapTime);
    record.snap_millisec = snap_time->SnapMillisec;
    copy_text(record.instrument_id, md->InstrumentID);
    record.last_price = price(md->LastPrice);
    record.level_base_price = price(md->LevelBasePrice);
    record.snap_value1 = price(md->SnapValue1);
    record.snap_value2 = price(md->SnapValue2);
    record.open_price = price(md->OpenPrice);
    record.high_price = price(md->HighPrice);
    record.low_price = price(md->LowPrice);
    record.volume = md->Volume;
    record.turnover = price(md->Turnover);
    record.open_interest = price(md->OpenInterest);
    record.close_price = price(md->ClosePrice);
    record.settlement_price = price(md->SettlementPrice);
    record.upper_limit_price = price(md->UpperLimitPrice);
    record.lower_limit_price = price(md->LowerLimitPrice);
    record.snap_value3 = price(md->SnapValue3);
    record.delta = price(md->Delta);
    record.snap_value4 = md->SnapValue4;
    copy_text(record.update_date, md->UpdateDate);
    copy_text(record.update_time, md->UpdateTime);
    record.update_millisec = md->UpdateMillisec;
    record.bid_count = copy_side(record.bid_price, record.bid_volume, bids);
    record.ask_count = copy_side(record.ask_price, record.ask_volume, asks);
}

}  // namespace

void copy_update(UpdateRecord& record, int topic_id, const TopicSettlementSession* session,
                 const TopicSnapTime* snap_time, const TopicMarketData* md,
                 const TopicPriceEntry* bids, const TopicPriceEntry* asks)
{
    unsigned int packet_no = 0;
    get_delivery_packet_no(&packet_no);
    fill_update(record, KORV::FEED::feed_clock_ns(), topic_id, packet_no, session, snap_time, md,
                bids, asks);
}

void copy_update(UpdateRecord& record, const KORV::FEED::FeedRecord& update)
{
    fill_update(record, update.HandlerNs, update.TopicID, update.PacketNo,
                &update.SettlementSession, &update.SnapTime, &update.MarketData, update.Bids,
                update.Asks);
}

#define KORV_COLUMN(name, type, count)                   \
    {                                                    \
#name, type, count, offsetof(UpdateRecord, name) \
    }

const std::vector<RecordColumn>& record_columns()
{
    static const std::vector<RecordColumn> columns = {
        KORV_COLUMN(handler_ns, "<i8", 1),
        KORV_COLUMN(topic_id, "<i4", 1),
        KORV_COLUMN(packet_no, "<u4", 1),
        KORV_COLUMN(session_day, "S9", 1),
        KORV_COLUMN(session_code, "S9", 1),
        KORV_COLUMN(session_no, "<i4", 1),
        KORV_COLUMN(snap_date, "S9", 1),
        KORV_COLUMN(snap_time, "S9", 1),
        KORV_COLUMN(snap_millisec, "<i4", 1),
        KORV_COLUMN(instrument_id, "S31", 1),
        KORV_COLUMN(last_price, "<f8", 1),
        KORV_COLUMN(level_base_price, "<f8", 1),
        KORV_COLUMN(snap_value1, "<f8", 1),
        KORV_COLUMN(snap_value2, "<f8", 1),
        KORV_COLUMN(open_price, "<f8", 1),
        KORV_COLUMN(high_price, "<f8", 1),
        KORV_COLUMN(low_price, "<f8", 1),
        KORV_COLUMN(volume, "<i4", 1),
        KORV_COLUMN(turnover, "<f8", 1),
        KORV_COLUMN(open_interest, "<f8", 1),
        KORV_COLUMN(close_price, "<f8", 1),
        KORV_COLUMN(settlement_price, "<f8", 1),
        KORV_COLUMN(upper_limit_price, "<f8", 1),
        KORV_COLUMN(lower_limit_price, "<f8", 1),
        KORV_COLUMN(snap_value3, "<f8", 1),
        KORV_COLUMN(delta, "<f8", 1),
        KORV_COLUMN(snap_value4, "<i4", 1),
        KORV_COLUMN(update_date, "S9", 1),
        KORV_COLUMN(update_time, "S9", 1),
        KORV_COLUMN(update_millisec, "<i4", 1),
        KORV_COLUMN(bid_count, "<i4", 1),
        KORV_COLUMN(ask_count, "<i4", 1),
        KORV_COLUMN(bid_price, "<f8", LEVEL_COUNT),
        KORV_COLUMN(bid_volume, "<i4", LEVEL_COUNT),
        KORV_COLUMN(ask_price, "<f8", LEVEL_COUNT),
        KORV_COLUMN(ask_volume, "<i4", LEVEL_COUNT),
    };
    return columns;
}

#undef KORV_COLUMN

}  // namespace korv_python
