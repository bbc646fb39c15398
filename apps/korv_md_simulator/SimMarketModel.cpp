#include "apps/korv_md_simulator/SimMarketModel.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "apps/korv_md_simulator/SimText.h"
#include "source/korv_user/UFDataType.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mirp_protocol/MirpFieldCodec.h"

namespace KORV {
namespace SIM {

using namespace BRAX::KORV;
using BRAX::KORV_USER_API::UFBaseFloatType;

namespace {

// A long sequence (every instrument, many events) comes about once in this
// many sequences; it is what makes the encoder split into continue packets.
constexpr uint32_t LONG_SEQUENCE_EVERY = 25;
constexpr int LONG_SEQUENCE_INSTRUMENTS = 40;
// Events per instrument group. The upper bound keeps a group well inside one
// packet body (each field is at most about 30 bytes on the wire).
constexpr int32_t MAX_GROUP_EVENTS = 30;
constexpr int32_t MAX_VOLUME = 500;

const double g_price_ticks[] = {0.2, 0.5, 1.0, 5.0, 0.05, 10.0};
const int32_t g_volume_multiples[] = {1, 5, 10, 100};

// Position of a new level offset on a side kept in level order, and whether
// the offset is there already.
int level_position(const std::vector<SimLevel>& side, bool bid, int32_t offset, bool& exists)
{
    int pos = 0;
    exists = false;
    for (const SimLevel& level : side) {
        if (level.offset == offset) {
            exists = true;
            return pos;
        }
        if (bid ? level.offset < offset : level.offset > offset)
            return pos;
        ++pos;
    }
    return pos;
}

}  // namespace

SimMarketModel::SimMarketModel(int topic_id, int instrument_count, int depth, uint64_t seed,
                               unsigned seconds, unsigned millisec)
    : m_topic_id(topic_id),
      m_depth(std::min(std::max(depth, 1), SIM_MAX_DEPTH)),
      // Topics of one run differ, and each still replays from the seed alone.
      m_random(seed * 0x100000001B3ULL + uint64_t(topic_id)),
      m_settlement_session(),
      m_snap_time()
{
    char date[9];
    char time[9];
    format_local_time(seconds, date, time);
    sim_copy_text(m_settlement_session.SessionDay, date);
    sim_copy_text(m_settlement_session.SessionCode, "DAY");
    m_settlement_session.SessionNo = 1;
    memcpy(m_snap_time.SnapDate, date, sizeof date);
    memcpy(m_snap_time.SnapTime, time, sizeof time);
    m_snap_time.SnapMillisec = int(millisec);
    m_instruments.resize(size_t(std::max(instrument_count, 0)));
    for (int no = 0; no < instrument_count; ++no)
        init_instrument(no, seconds, millisec);
}

void SimMarketModel::format_local_time(unsigned seconds, char (&date)[9], char (&time)[9])
{
    time_t t = time_t(seconds);
    struct tm local;
    localtime_r(&t, &local);
    strftime(date, sizeof date, "%Y%m%d", &local);
    strftime(time, sizeof time, "%H:%M:%S", &local);
}

double SimMarketModel::level_price(const SimInstrument& instrument, const SimLevel& level)
{
    return double(level.offset) * instrument.Instrument.PriceTick +
           instrument.MarketData.LevelBasePrice;
}

double SimMarketModel::trade_price(const SimInstrument& instrument, int32_t offset)
{
    return double(offset) * instrument.Instrument.PriceTick + instrument.Instrument.TradeBasePrice;
}

void SimMarketModel::init_instrument(int no, unsigned seconds, unsigned millisec)
{
    SimInstrument& s = m_instruments[size_t(no)];
    s = SimInstrument();
    MDQP_TopicInstrument& def = s.Instrument;
    char id[31];
    snprintf(id, sizeof id, "SIM%d_%03d", m_topic_id, no);
    sim_copy_text(def.InstrumentID, id);
    sim_copy_text(def.InstrumentAttr1, "SIM");
    def.InstrumentAttr2 = PC_Futures;
    def.InstrumentAttr3 = 0.0;
    def.InstrumentAttr4 = IS_Continous;
    def.VolumeMultiple = g_volume_multiples[m_random.below(4)];
    def.InstrumentAttr5 = 0.0;
    def.InstrumentAttr6 = 0;
    def.InstrumentAttr7 = 0;
    def.PriceTick = g_price_ticks[m_random.below(6)];
    def.TradeBasePrice = double(m_random.between(1000, 20000)) * def.PriceTick;
    def.InstrumentNo = no;

    // Level prices travel against a base of their own, a few ticks from the
    // trade base, so that mixing the two up shows in every price.
    s.LevelToTrade = m_random.between(-50, 50);
    s.Mid = 0;
    MDQP_TopicMarketData& md = s.MarketData;
    md.InstrumentNo = no;
    md.LastPrice = UFBaseFloatType::NULL_VALUE;
    md.Volume = 0;
    md.Turnover = 0.0;
    md.OpenInterest = double(m_random.between(1000, 50000));
    md.HighPrice = UFBaseFloatType::NULL_VALUE;
    md.LowPrice = UFBaseFloatType::NULL_VALUE;
    md.OpenPrice = UFBaseFloatType::NULL_VALUE;
    md.ClosePrice = UFBaseFloatType::NULL_VALUE;
    md.SettlementPrice = UFBaseFloatType::NULL_VALUE;
    md.UpperLimitPrice = trade_price(s, 1000);
    md.LowerLimitPrice = trade_price(s, -1000);
    md.LevelBasePrice = double(s.LevelToTrade) * def.PriceTick + def.TradeBasePrice;
    md.SnapValue1 = def.TradeBasePrice;
    // Some carried values absent, so that empty columns are exercised.
    md.SnapValue2 =
        no % 2 == 0 ? trade_price(s, m_random.between(-20, 20)) : UFBaseFloatType::NULL_VALUE;
    md.SnapValue3 = md.OpenInterest;
    md.Delta = UFBaseFloatType::NULL_VALUE;
    md.SnapValue4 = no;
    format_local_time(seconds, md.UpdateDate, md.UpdateTime);
    md.UpdateMillisec = int(millisec);

    s.Traded = false;
    s.HighOffset = s.LowOffset = s.LastOffset = 0;
    // A book of random depth around the middle, gaps of one or two ticks.
    int32_t offset = s.Mid;
    for (int i = int(m_random.below(uint32_t(m_depth) + 1)); i > 0; --i) {
        offset -= m_random.between(1, 2);
        s.Bids.push_back(SimLevel{offset, m_random.between(1, MAX_VOLUME)});
    }
    offset = s.Mid;
    for (int i = int(m_random.below(uint32_t(m_depth) + 1)); i > 0; --i) {
        offset += m_random.between(1, 2);
        s.Asks.push_back(SimLevel{offset, m_random.between(1, MAX_VOLUME)});
    }
}

void SimMarketModel::next_sequence(unsigned seconds, unsigned millisec, std::vector<SimGroup>& out)
{
    out.clear();
    format_local_time(seconds, m_snap_time.SnapDate, m_snap_time.SnapTime);
    m_snap_time.SnapMillisec = int(millisec);
    int count = int(m_instruments.size());
    if (count == 0)
        return;
    // A long sequence changes every instrument (up to a limit, so that a big
    // topic does not send thousands of packets at once), a normal one a few.
    bool long_sequence = m_random.below(LONG_SEQUENCE_EVERY) == 0;
    int wanted = long_sequence ? std::min(count, LONG_SEQUENCE_INSTRUMENTS)
                               : std::min(count, m_random.between(1, 4));
    std::vector<int> chosen;
    if (wanted == count) {
        for (int no = 0; no < count; ++no)
            chosen.push_back(no);
    }
    while (int(chosen.size()) < wanted) {
        int no = int(m_random.below(uint32_t(count)));
        if (std::find(chosen.begin(), chosen.end(), no) == chosen.end())
            chosen.push_back(no);
    }
    for (int no : chosen) {
        out.push_back(SimGroup{no, {}});
        int events =
            long_sequence ? m_random.between(15, MAX_GROUP_EVENTS) : m_random.between(1, 6);
        move_instrument(m_instruments[size_t(no)], events, out.back());
    }
    // A group whose moves all fell through carries nothing; leave it out.
    out.erase(std::remove_if(out.begin(), out.end(),
                             [](const SimGroup& group) { return group.events.empty(); }),
              out.end());
}

void SimMarketModel::move_instrument(SimInstrument& s, int event_count, SimGroup& group)
{
    // Each move may emit two events (a delete making room), so stop a move
    // short of the group's limit.
    while (int(group.events.size()) < std::min(event_count, MAX_GROUP_EVENTS - 1)) {
        uint32_t r = m_random.below(100);
        if (r < 25)
            change_level(s, group);
        else if (r < 50)
            insert_level(s, group);
        else if (r < 63)
            delete_level(s, group);
        else if (r < 88)
            trade(s, group);
        else if (r < 95)
            set_other_daily_price(s, group);
        else
            set_delta(s, group);
    }
    if (!group.events.empty())
        stamp(s);
}

void SimMarketModel::stamp(SimInstrument& s) const
{
    memcpy(s.MarketData.UpdateDate, m_snap_time.SnapDate, sizeof s.MarketData.UpdateDate);
    memcpy(s.MarketData.UpdateTime, m_snap_time.SnapTime, sizeof s.MarketData.UpdateTime);
    s.MarketData.UpdateMillisec = m_snap_time.SnapMillisec;
}

void SimMarketModel::emit_level(SimInstrument& s, SimGroup& group, char event_type, bool bid,
                                int level, SimLevel value)
{
    std::vector<SimLevel>& side = bid ? s.Bids : s.Asks;
    size_t pos = size_t(level - 1);
    if (event_type == MBP_EVENT_New)
        side.insert(side.begin() + long(pos), value);
    else if (event_type == MBP_EVENT_Change)
        side[pos] = value;
    else
        side.erase(side.begin() + long(pos));
    SimEvent event;
    event.field_id = MIRP_FID_MDEntryEvent;
    event.entry.EventType = event_type;
    event.entry.EntryType = bid ? MDET_Bid : MDET_Ask;
    event.entry.PriceLevel = level;
    event.entry.PriceOffset = event_type == MBP_EVENT_Delete ? 0 : value.offset;
    event.entry.Volume = event_type == MBP_EVENT_Delete ? 0 : value.volume;
    event.entry.EventAttr1 = 0;
    group.events.push_back(event);
}

void SimMarketModel::change_level(SimInstrument& s, SimGroup& group)
{
    bool bid = m_random.below(2) == 0;
    std::vector<SimLevel>& side = bid ? s.Bids : s.Asks;
    if (side.empty())
        return insert_level(s, group);
    int level = int(m_random.below(uint32_t(side.size()))) + 1;
    SimLevel value = side[size_t(level - 1)];
    value.volume = m_random.between(1, MAX_VOLUME);
    emit_level(s, group, MBP_EVENT_Change, bid, level, value);
}

void SimMarketModel::insert_level(SimInstrument& s, SimGroup& group)
{
    bool bid = m_random.below(2) == 0;
    std::vector<SimLevel>& side = bid ? s.Bids : s.Asks;
    int32_t spread = 2 * m_depth;
    // New prices fall between the opposite best and a few depths behind it,
    // so the two sides never cross and the book wanders with the trades.
    int32_t offset;
    if (bid) {
        int32_t high = !s.Asks.empty()   ? s.Asks[0].offset - 1
                       : !s.Bids.empty() ? s.Bids[0].offset + 2
                                         : s.Mid - 1;
        offset = m_random.between(high - spread, high);
    } else {
        int32_t low = !s.Bids.empty()   ? s.Bids[0].offset + 1
                      : !s.Asks.empty() ? s.Asks[0].offset - 2
                                        : s.Mid + 1;
        offset = m_random.between(low, low + spread);
    }
    bool exists;
    int pos = level_position(side, bid, offset, exists);
    SimLevel value{offset, m_random.between(1, MAX_VOLUME)};
    if (exists)
        return emit_level(s, group, MBP_EVENT_Change, bid, pos + 1, value);
    if (int(side.size()) == m_depth) {
        if (pos == m_depth)
            return;  // worse than every kept level: not part of the book
        emit_level(s, group, MBP_EVENT_Delete, bid, m_depth, SimLevel{0, 0});
    }
    emit_level(s, group, MBP_EVENT_New, bid, pos + 1, value);
}

void SimMarketModel::delete_level(SimInstrument& s, SimGroup& group)
{
    bool bid = m_random.below(2) == 0;
    std::vector<SimLevel>& side = bid ? s.Bids : s.Asks;
    if (side.empty())
        return;
    int level = int(m_random.below(uint32_t(side.size()))) + 1;
    emit_level(s, group, MBP_EVENT_Delete, bid, level, SimLevel{0, 0});
}

void SimMarketModel::trade(SimInstrument& s, SimGroup& group)
{
    // An aggressive order takes volume from the best level of one side.
    bool sell = m_random.below(2) == 0;
    std::vector<SimLevel>& side = sell ? s.Bids : s.Asks;
    if (side.empty())
        return;
    SimLevel best = side[0];
    int32_t quantity = m_random.between(1, std::min(best.volume, 50));
    if (quantity >= best.volume) {
        emit_level(s, group, MBP_EVENT_Delete, sell, 1, SimLevel{0, 0});
    } else {
        best.volume -= quantity;
        emit_level(s, group, MBP_EVENT_Change, sell, 1, best);
    }

    int32_t offset = best.offset + s.LevelToTrade;
    SimEvent event;
    event.field_id = MIRP_FID_TradeSlice;
    event.trade.LastPriceOffset = offset;
    event.trade.Volume = quantity;
    event.trade.TurnoverOffset = int64_t(offset) * quantity;
    event.trade.OpenInterestChange = m_random.between(-quantity, quantity);
    group.events.push_back(event);

    const MDQP_TopicInstrument& def = s.Instrument;
    MDQP_TopicMarketData& md = s.MarketData;
    md.LastPrice = trade_price(s, offset);
    md.Volume = int32_t(uint32_t(md.Volume) + uint32_t(quantity));
    md.Turnover +=
        double(def.VolumeMultiple) * (double(event.trade.TurnoverOffset) * def.PriceTick +
                                      double(quantity) * def.TradeBasePrice);
    md.OpenInterest += double(event.trade.OpenInterestChange);
    s.LastOffset = offset;

    if (!s.Traded) {
        s.Traded = true;
        s.HighOffset = s.LowOffset = offset;
        emit_daily_price(s, group, MIRP_FID_OpenPrice, offset);
        emit_daily_price(s, group, MIRP_FID_HighPrice, offset);
        emit_daily_price(s, group, MIRP_FID_LowPrice, offset);
    } else if (offset > s.HighOffset) {
        s.HighOffset = offset;
        emit_daily_price(s, group, MIRP_FID_HighPrice, offset);
    } else if (offset < s.LowOffset) {
        s.LowOffset = offset;
        emit_daily_price(s, group, MIRP_FID_LowPrice, offset);
    }
}

void SimMarketModel::set_other_daily_price(SimInstrument& s, SimGroup& group)
{
    int32_t reference = s.Traded ? s.LastOffset : s.Mid + s.LevelToTrade;
    switch (m_random.below(4)) {
        case 0:
            emit_daily_price(s, group, MIRP_FID_ClosePrice, reference);
            break;
        case 1:
            emit_daily_price(s, group, MIRP_FID_SettlementPrice,
                             reference + m_random.between(-3, 3));
            break;
        case 2:
            emit_daily_price(s, group, MIRP_FID_UpperLimitPrice,
                             reference + m_random.between(500, 1500));
            break;
        default:
            emit_daily_price(s, group, MIRP_FID_LowerLimitPrice,
                             reference - m_random.between(500, 1500));
            break;
    }
}

void SimMarketModel::emit_daily_price(SimInstrument& s, SimGroup& group, uint16_t field_id,
                                      int32_t offset)
{
    double price = trade_price(s, offset);
    MDQP_TopicMarketData& md = s.MarketData;
    switch (field_id) {
        case MIRP_FID_HighPrice:
            md.HighPrice = price;
            break;
        case MIRP_FID_LowPrice:
            md.LowPrice = price;
            break;
        case MIRP_FID_OpenPrice:
            md.OpenPrice = price;
            break;
        case MIRP_FID_ClosePrice:
            md.ClosePrice = price;
            break;
        case MIRP_FID_UpperLimitPrice:
            md.UpperLimitPrice = price;
            break;
        case MIRP_FID_LowerLimitPrice:
            md.LowerLimitPrice = price;
            break;
        default:
            md.SettlementPrice = price;
            break;
    }
    SimEvent event;
    event.field_id = field_id;
    event.price.PriceOffset = offset;
    group.events.push_back(event);
}

void SimMarketModel::set_delta(SimInstrument& s, SimGroup& group)
{
    SimEvent event;
    event.field_id = MIRP_FID_Delta;
    event.delta.Delta = double(m_random.between(-1000, 1000)) / 1000.0;
    s.MarketData.Delta = event.delta.Delta;
    group.events.push_back(event);
}

}  // namespace SIM
}  // namespace KORV
