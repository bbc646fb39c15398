// Internal (benchmarks): a small synthetic market of one topic that produces
// realistic MIRP event sequences for the decode and book benchmarks.
//
// Each instrument has a definition, market data and up to `depth` price
// levels per side, kept strictly ordered (bids descending, asks ascending,
// best bid below best ask). next_sequence moves the market by a seeded random
// walk and returns the events of one MIRP sequence, grouped by instrument,
// after applying each of them to the model. A level insert on a full side
// first deletes the worst level, so a receiver's side never holds more than
// the depth and no edit is ever refused: the benchmarks time the accepted
// path only.
//
// The mix follows a busy futures topic: most events change the volume of a
// level near the top, fewer insert or delete a level, about one in eight is
// a trade slice, some trades move a daily high or low, and a few instruments
// carry a delta. Popular instruments change far more often than the rest.
//
// Deterministic for a given size, depth and seed. Single-threaded.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "source/mirp_protocol/MirpEventRecords.h"

namespace KORV {
namespace USER {
class KorvUserTopic;
}
}  // namespace KORV

namespace KORV {
namespace BENCH {

// One market event as it goes on the wire: the MIRP field id and its record.
struct BenchEvent {
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
struct BenchGroup {
    int32_t instrument_no;
    std::vector<BenchEvent> events;
};

class BenchMarket {
public:
    BenchMarket(int instrument_count, int depth, uint32_t seed);

    int instrument_count() const { return int(m_instruments.size()); }
    int depth() const { return m_depth; }

    // Fills an empty book with the model's current state, as a snapshot
    // would, sets the topic's depth and commits.
    void fill_snapshot(USER::KorvUserTopic& topic) const;

    // The events of the next sequence: group_count instrument groups (the
    // same instrument may come back in a later group).
    std::vector<BenchGroup> next_sequence(int group_count);

private:
    struct Level {
        int32_t offset;  // ticks from the level base price
        int32_t volume;
    };
    struct Side {
        std::vector<Level> levels;
        bool bid;
    };
    struct Instrument {
        Side bids;
        Side asks;
        int32_t last;  // ticks from the trade base price
        int32_t high;
        int32_t low;
        bool has_delta;
    };

    int pick_instrument();
    void level_event(Instrument& instrument, std::vector<BenchEvent>& out);
    void trade_event(Instrument& instrument, std::vector<BenchEvent>& out);
    void daily_price_event(Instrument& instrument, std::vector<BenchEvent>& out);
    void insert_level(Side& side, const Side& other, std::vector<BenchEvent>& out);
    void delete_level(Side& side, int pos, std::vector<BenchEvent>& out);
    void change_level(Side& side, std::vector<BenchEvent>& out);
    int top_weighted_position(int count);

    int m_depth;
    std::vector<Instrument> m_instruments;
    std::mt19937 m_rng;
};

}  // namespace BENCH
}  // namespace KORV
