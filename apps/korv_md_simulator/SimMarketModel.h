// Internal: the simulated market of one topic, and the truth the simulator
// holds about it.
//
// Each instrument has a definition, full market data and up to `depth`
// price levels per side. next_sequence moves the market by a seeded random
// walk and returns the events of one MIRP sequence, grouped by instrument,
// after applying each of them to the model. The model is therefore at every
// sequence boundary exactly what a subscriber's book should hold after
// committing that sequence; it is kept by its own code, not the library's
// book, so the two can be compared.
//
// Invariants after every event: bids strictly descending and asks strictly
// ascending by price, best bid below best ask, at most `depth` levels per
// side. A level edit on a full side first deletes the worst level, so the
// receiver's table never has to hold more than the depth.
//
// Deterministic: the same topic, size, depth, seed and times give the same
// events, bit for bit. Single-threaded.
#pragma once

#include <cstdint>
#include <vector>

#include "apps/korv_md_simulator/SimRandom.h"
#include "source/korv_user/KorvUserApiStruct.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpEventRecords.h"

namespace KORV {
namespace SIM {

// The most price levels per side a topic can carry.
constexpr int SIM_MAX_DEPTH = 20;

// One price level: ticks from the instrument's LevelBasePrice, and volume.
struct SimLevel {
    int32_t offset;
    int32_t volume;
};

// One market event as it goes on the wire: the MIRP field id and its record.
struct SimEvent {
    uint16_t field_id;
    union {
        BRAX::KORV::MIRP_MDEntryEvent entry;
        BRAX::KORV::MIRP_TradeSlice trade;
        // The seven daily price records share this one-field layout.
        BRAX::KORV::MIRP_HighPrice price;
        BRAX::KORV::MIRP_Delta delta;
    };
};

// The events of one instrument within a sequence.
struct SimGroup {
    int32_t instrument_no;
    std::vector<SimEvent> events;
};

struct SimInstrument {
    BRAX::KORV::MDQP_TopicInstrument Instrument;
    BRAX::KORV::MDQP_TopicMarketData MarketData;
    std::vector<SimLevel> Bids;  // best (highest) first
    std::vector<SimLevel> Asks;  // best (lowest) first
    // LevelBasePrice - TradeBasePrice in ticks, so a level's offset turns
    // into a trade offset without rounding.
    int32_t LevelToTrade;
    // Where the book is centred before any level exists (level ticks).
    int32_t Mid;
    // Daily prices in trade ticks; valid once the first trade happened.
    bool Traded;
    int32_t HighOffset;
    int32_t LowOffset;
    int32_t LastOffset;
};

class SimMarketModel {
public:
    // depth 1..SIM_MAX_DEPTH; seconds/millisec is the time the initial state
    // was taken.
    SimMarketModel(int topic_id, int instrument_count, int depth, uint64_t seed, unsigned seconds,
                   unsigned millisec);

    // Moves the market by one sequence taken at the given time: several
    // instruments change, and now and then (a long sequence) every
    // instrument changes a lot. The changed instruments and the topic are
    // stamped with the time.
    void next_sequence(unsigned seconds, unsigned millisec, std::vector<SimGroup>& out);

    int get_topic_id() const { return m_topic_id; }
    int get_depth() const { return m_depth; }
    const std::vector<SimInstrument>& get_instruments() const { return m_instruments; }
    const BRAX::KORV_USER_API::TopicSettlementSession& get_settlement_session() const
    {
        return m_settlement_session;
    }
    const BRAX::KORV_USER_API::TopicSnapTime& get_snap_time() const { return m_snap_time; }

    // Prices as the receiver computes them: offset x tick + base, in double.
    static double level_price(const SimInstrument& instrument, const SimLevel& level);
    static double trade_price(const SimInstrument& instrument, int32_t offset);

    // "%Y%m%d" and "%H:%M:%S" of seconds since the epoch, local time.
    static void format_local_time(unsigned seconds, char (&date)[9], char (&time)[9]);

private:
    void init_instrument(int no, unsigned seconds, unsigned millisec);
    void move_instrument(SimInstrument& instrument, int event_count, SimGroup& group);
    void change_level(SimInstrument& instrument, SimGroup& group);
    void insert_level(SimInstrument& instrument, SimGroup& group);
    void delete_level(SimInstrument& instrument, SimGroup& group);
    void trade(SimInstrument& instrument, SimGroup& group);
    void set_other_daily_price(SimInstrument& instrument, SimGroup& group);
    void set_delta(SimInstrument& instrument, SimGroup& group);

    // Applies a level event to the model and records it.
    void emit_level(SimInstrument& instrument, SimGroup& group, char event_type, bool bid,
                    int level, SimLevel value);
    void emit_daily_price(SimInstrument& instrument, SimGroup& group, uint16_t field_id,
                          int32_t offset);
    void stamp(SimInstrument& instrument) const;

    int m_topic_id;
    int m_depth;
    SimRandom m_random;
    std::vector<SimInstrument> m_instruments;
    BRAX::KORV_USER_API::TopicSettlementSession m_settlement_session;
    BRAX::KORV_USER_API::TopicSnapTime m_snap_time;
};

}  // namespace SIM
}  // namespace KORV
