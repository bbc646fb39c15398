#include "benchmarks/BenchMarket.h"

#include <cstdio>

#include "source/korv_user/KorvUserTopic.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mirp_protocol/MirpFieldCodec.h"

using namespace BRAX::KORV;

namespace KORV {
namespace BENCH {

namespace {

constexpr double PRICE_TICK = 0.2;
constexpr int VOLUME_MULTIPLE = 10;

double base_price(int no)
{
    return 3000.0 + no;
}

BenchEvent level_record(char event_type, bool bid, int pos, int32_t offset, int32_t volume)
{
    BenchEvent e;
    e.field_id = MIRP_FID_MDEntryEvent;
    e.entry = MIRP_MDEntryEvent{event_type, bid ? MDET_Bid : MDET_Ask, pos + 1, offset, volume, 0};
    return e;
}

BenchEvent price_record(uint16_t field_id, int32_t offset)
{
    BenchEvent e;
    e.field_id = field_id;
    e.price = MIRP_HighPrice{offset};
    return e;
}

}  // namespace

BenchMarket::BenchMarket(int instrument_count, int depth, uint32_t seed)
    : m_depth(depth), m_instruments(size_t(instrument_count)), m_rng(seed)
{
    for (Instrument& instrument : m_instruments) {
        instrument.bids.bid = true;
        instrument.asks.bid = false;
        int32_t bid = -1, ask = 1;
        for (int i = 0; i < depth; ++i) {
            instrument.bids.levels.push_back(Level{bid, int32_t(1 + m_rng() % 200)});
            instrument.asks.levels.push_back(Level{ask, int32_t(1 + m_rng() % 200)});
            bid -= int32_t(1 + m_rng() % 2);
            ask += int32_t(1 + m_rng() % 2);
        }
        instrument.last = 0;
        instrument.high = 0;
        instrument.low = 0;
        instrument.has_delta = m_rng() % 4 == 0;
    }
}

void BenchMarket::fill_snapshot(USER::KorvUserTopic& topic) const
{
    MDQP_TopicSettlementSession session{};
    snprintf(session.SessionDay, sizeof session.SessionDay, "20261209");
    snprintf(session.SessionCode, sizeof session.SessionCode, "DAY");
    topic.handle_settlement_session(&session);
    for (int no = 0; no < instrument_count(); ++no) {
        const Instrument& model = m_instruments[size_t(no)];
        MDQP_TopicInstrument instrument{};
        snprintf(instrument.InstrumentID, sizeof instrument.InstrumentID, "BX%05d", no);
        instrument.VolumeMultiple = VOLUME_MULTIPLE;
        instrument.PriceTick = PRICE_TICK;
        instrument.TradeBasePrice = base_price(no);
        instrument.InstrumentNo = no;
        topic.handle_instrument(&instrument);

        MDQP_TopicMarketData data{};
        data.InstrumentNo = no;
        data.LastPrice = base_price(no) + model.last * PRICE_TICK;
        data.HighPrice = base_price(no) + model.high * PRICE_TICK;
        data.LowPrice = base_price(no) + model.low * PRICE_TICK;
        data.LevelBasePrice = base_price(no);
        snprintf(data.UpdateDate, sizeof data.UpdateDate, "20261209");
        snprintf(data.UpdateTime, sizeof data.UpdateTime, "09:30:00");
        topic.handle_market_data(&data);

        for (const Side* side : {&model.bids, &model.asks}) {
            for (const Level& level : side->levels) {
                MDQP_TopicMarketByPrice entry{};
                entry.InstrumentNo = no;
                entry.EntryType = side->bid ? MDET_Bid : MDET_Ask;
                entry.Price = base_price(no) + level.offset * PRICE_TICK;
                entry.Volume = level.volume;
                topic.handle_market_by_price(&entry);
            }
        }
    }
    topic.set_market_data_depth(m_depth);
    topic.commit();
}

std::vector<BenchGroup> BenchMarket::next_sequence(int group_count)
{
    std::vector<BenchGroup> groups(static_cast<size_t>(group_count));
    for (BenchGroup& group : groups) {
        group.instrument_no = pick_instrument();
        Instrument& instrument = m_instruments[size_t(group.instrument_no)];
        int events = 1 + int(m_rng() % 3) + int(m_rng() % 4);
        for (int i = 0; i < events; ++i) {
            unsigned r = m_rng() % 100;
            if (r < 80) {
                level_event(instrument, group.events);
            } else if (r < 93) {
                trade_event(instrument, group.events);
            } else if (r < 97) {
                daily_price_event(instrument, group.events);
            } else if (instrument.has_delta) {
                BenchEvent e;
                e.field_id = MIRP_FID_Delta;
                e.delta = MIRP_Delta{0.5 + int(m_rng() % 1000) / 10000.0};
                group.events.push_back(e);
            } else {
                level_event(instrument, group.events);
            }
        }
    }
    return groups;
}

// Popularity falls off steeply: the first tenth of the instruments carries
// about half of the groups.
int BenchMarket::pick_instrument()
{
    double u = double(m_rng()) / double(m_rng.max());
    int no = int(u * u * u * instrument_count());
    return no < instrument_count() ? no : instrument_count() - 1;
}

void BenchMarket::level_event(Instrument& instrument, std::vector<BenchEvent>& out)
{
    bool bid = m_rng() % 2 == 0;
    Side& side = bid ? instrument.bids : instrument.asks;
    const Side& other = bid ? instrument.asks : instrument.bids;
    unsigned r = m_rng() % 100;
    int count = int(side.levels.size());
    if (count == 0 || (r >= 62 && r < 82) || (r >= 82 && count <= m_depth / 2))
        insert_level(side, other, out);
    else if (r < 62)
        change_level(side, out);
    else
        delete_level(side, top_weighted_position(count), out);
}

// Levels are handled by their rank from the best price: bids descend and asks
// ascend, so key = offset for asks and -offset for bids ascends on both.
void BenchMarket::insert_level(Side& side, const Side& other, std::vector<BenchEvent>& out)
{
    if (int(side.levels.size()) == m_depth)
        delete_level(side, m_depth - 1, out);
    int count = int(side.levels.size());
    int pos = top_weighted_position(count + 1);
    int sign = side.bid ? -1 : 1;
    auto key = [sign](const Level& level) { return sign * level.offset; };
    int32_t below;  // exclusive bounds of the new level's key
    if (pos > 0)
        below = key(side.levels[size_t(pos - 1)]);
    else if (!other.levels.empty())
        below = -key(other.levels[0]);
    else
        below = count > 0 ? key(side.levels[0]) - 4 : -1;
    int32_t above = pos < count ? key(side.levels[size_t(pos)]) : below + 4;
    if (above - below < 2)
        return;  // no free tick there: the market skips this change
    int32_t k = below + 1 + int32_t(m_rng() % unsigned(above - below - 1));
    Level level{sign * k, int32_t(1 + m_rng() % 200)};
    side.levels.insert(side.levels.begin() + pos, level);
    out.push_back(level_record(MBP_EVENT_New, side.bid, pos, level.offset, level.volume));
}

void BenchMarket::delete_level(Side& side, int pos, std::vector<BenchEvent>& out)
{
    side.levels.erase(side.levels.begin() + pos);
    out.push_back(level_record(MBP_EVENT_Delete, side.bid, pos, 0, 0));
}

void BenchMarket::change_level(Side& side, std::vector<BenchEvent>& out)
{
    int pos = top_weighted_position(int(side.levels.size()));
    Level& level = side.levels[size_t(pos)];
    int32_t step = int32_t(m_rng() % 41) - 20;
    level.volume = level.volume + step > 0 ? level.volume + step : 1 + int32_t(m_rng() % 10);
    out.push_back(level_record(MBP_EVENT_Change, side.bid, pos, level.offset, level.volume));
}

// Position 0 … count - 1, each half as likely as the one before it.
int BenchMarket::top_weighted_position(int count)
{
    int pos = 0;
    while (pos + 1 < count && m_rng() % 2 == 0)
        ++pos;
    return pos;
}

void BenchMarket::trade_event(Instrument& instrument, std::vector<BenchEvent>& out)
{
    instrument.last += int32_t(m_rng() % 7) - 3;
    int32_t volume = int32_t(1 + m_rng() % 30);
    BenchEvent e;
    e.field_id = MIRP_FID_TradeSlice;
    e.trade = MIRP_TradeSlice{instrument.last, volume, int64_t(instrument.last) * volume,
                              int64_t(m_rng() % 11) - 5};
    out.push_back(e);
    if (instrument.last > instrument.high) {
        instrument.high = instrument.last;
        out.push_back(price_record(MIRP_FID_HighPrice, instrument.high));
    } else if (instrument.last < instrument.low) {
        instrument.low = instrument.last;
        out.push_back(price_record(MIRP_FID_LowPrice, instrument.low));
    }
}

void BenchMarket::daily_price_event(Instrument& instrument, std::vector<BenchEvent>& out)
{
    static const uint16_t ids[] = {MIRP_FID_OpenPrice, MIRP_FID_ClosePrice,
                                   MIRP_FID_SettlementPrice, MIRP_FID_UpperLimitPrice,
                                   MIRP_FID_LowerLimitPrice};
    uint16_t id = ids[m_rng() % 5];
    int32_t offset = instrument.last;
    if (id == MIRP_FID_UpperLimitPrice)
        offset = 500;
    else if (id == MIRP_FID_LowerLimitPrice)
        offset = -500;
    out.push_back(price_record(id, offset));
}

}  // namespace BENCH
}  // namespace KORV
