#include "apps/korv_md_simulator/SimMarketModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/korv_md_simulator/SimTruthWriter.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mirp_protocol/MirpFieldCodec.h"

using namespace KORV::SIM;
using namespace BRAX::KORV;

namespace {

constexpr unsigned START = 1765260000;

void expect_book_invariants(const SimMarketModel& model, const std::string& where)
{
    for (const SimInstrument& s : model.get_instruments()) {
        ASSERT_LE(int(s.Bids.size()), model.get_depth()) << where;
        ASSERT_LE(int(s.Asks.size()), model.get_depth()) << where;
        for (size_t i = 1; i < s.Bids.size(); ++i)
            ASSERT_GT(s.Bids[i - 1].offset, s.Bids[i].offset) << where;
        for (size_t i = 1; i < s.Asks.size(); ++i)
            ASSERT_LT(s.Asks[i - 1].offset, s.Asks[i].offset) << where;
        if (!s.Bids.empty() && !s.Asks.empty()) {
            ASSERT_LT(s.Bids[0].offset, s.Asks[0].offset) << where;
        }
        for (const std::vector<SimLevel>* side : {&s.Bids, &s.Asks}) {
            for (const SimLevel& level : *side)
                ASSERT_GT(level.volume, 0) << where;
        }
    }
}

// The events of one sequence in their wire encoding, for comparing runs.
std::string event_bytes(const std::vector<SimGroup>& groups)
{
    std::string bytes;
    for (const SimGroup& group : groups) {
        bytes += "group " + std::to_string(group.instrument_no) + ":";
        for (const SimEvent& event : group.events) {
            unsigned char out[64];
            int size = 0;
            switch (event.field_id) {
                case MIRP_FID_MDEntryEvent:
                    size = KORV::CODEC_MDEntryEvent::field_encode(out, sizeof out, &event.entry);
                    break;
                case MIRP_FID_TradeSlice:
                    size = KORV::CODEC_TradeSlice::field_encode(out, sizeof out, &event.trade);
                    break;
                case MIRP_FID_Delta:
                    size = KORV::CODEC_Ratio::field_encode(out, sizeof out, &event.delta);
                    break;
                default:
                    size = KORV::CODEC_PriceOffset::field_encode(out, sizeof out, &event.price);
                    break;
            }
            EXPECT_GT(size, 0);
            bytes += std::to_string(event.field_id) + "=" +
                     std::string(reinterpret_cast<const char*>(out), size_t(size > 0 ? size : 0));
        }
    }
    return bytes;
}

std::string truth_text(const SimMarketModel& model)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    SimTruthWriter(out).write_topic(model, 0, 0);
    fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

}  // namespace

TEST(SimMarketModel, SidesStaySortedUncrossedAndWithinDepthForEveryDepth)
{
    for (int depth : {1, 2, 5, 20}) {
        SimMarketModel model(1001, 6, depth, uint64_t(depth) * 11, START, 0);
        expect_book_invariants(model, "initial");
        std::vector<SimGroup> groups;
        bool all_instruments_once = false;
        int levels_seen[3] = {};  // new, change, delete
        for (int n = 0; n < 3000; ++n) {
            model.next_sequence(START + unsigned(n) / 100, unsigned(n % 100) * 10, groups);
            all_instruments_once |= groups.size() == model.get_instruments().size();
            for (const SimGroup& group : groups) {
                ASSERT_FALSE(group.events.empty());
                ASSERT_LT(group.events.size(), 31u);
                for (const SimEvent& event : group.events) {
                    if (event.field_id != MIRP_FID_MDEntryEvent)
                        continue;
                    ASSERT_GE(event.entry.PriceLevel, 1);
                    ASSERT_LE(event.entry.PriceLevel, depth);
                    ++levels_seen[event.entry.EventType - MBP_EVENT_New];
                }
            }
            expect_book_invariants(
                model, "depth " + std::to_string(depth) + " sequence " + std::to_string(n));
        }
        EXPECT_TRUE(all_instruments_once) << "no long sequence at depth " << depth;
        EXPECT_GT(levels_seen[0], 0);
        EXPECT_GT(levels_seen[1], 0);
        EXPECT_GT(levels_seen[2], 0);
    }
}

TEST(SimMarketModel, SameSeedGivesTheSameMarketAndAnotherSeedAnother)
{
    SimMarketModel a(1001, 8, 5, 42, START, 0);
    SimMarketModel b(1001, 8, 5, 42, START, 0);
    SimMarketModel c(1001, 8, 5, 43, START, 0);
    std::vector<SimGroup> ga, gb, gc;
    std::string stream_a, stream_c;
    for (int n = 0; n < 500; ++n) {
        a.next_sequence(START + unsigned(n), 0, ga);
        b.next_sequence(START + unsigned(n), 0, gb);
        c.next_sequence(START + unsigned(n), 0, gc);
        ASSERT_EQ(event_bytes(ga), event_bytes(gb)) << "sequence " << n;
        stream_a += event_bytes(ga);
        stream_c += event_bytes(gc);
    }
    EXPECT_NE(stream_a, stream_c);
    EXPECT_EQ(truth_text(a), truth_text(b));
    EXPECT_NE(truth_text(a), truth_text(c));
}

TEST(SimMarketModel, TopicsOfOneSeedDiffer)
{
    SimMarketModel a(1001, 4, 5, 1, START, 0);
    SimMarketModel b(1002, 4, 5, 1, START, 0);
    EXPECT_NE(a.get_instruments()[0].Instrument.TradeBasePrice +
                  a.get_instruments()[1].Instrument.TradeBasePrice,
              b.get_instruments()[0].Instrument.TradeBasePrice +
                  b.get_instruments()[1].Instrument.TradeBasePrice);
    EXPECT_STREQ("SIM1002_003", b.get_instruments()[3].Instrument.InstrumentID);
}

TEST(SimMarketModel, TradesAccumulateAndStampTheSequenceTime)
{
    SimMarketModel model(7, 3, 5, 9, START, 0);
    std::vector<SimGroup> groups;
    int trades = 0;
    for (int n = 0; n < 200 && trades == 0; ++n) {
        model.next_sequence(START + 100, 250, groups);
        for (const SimGroup& group : groups) {
            for (const SimEvent& event : group.events)
                trades += event.field_id == MIRP_FID_TradeSlice;
        }
    }
    ASSERT_GT(trades, 0);
    const SimInstrument* traded = nullptr;
    for (const SimInstrument& s : model.get_instruments()) {
        if (s.Traded)
            traded = &s;
    }
    ASSERT_NE(nullptr, traded);
    EXPECT_GT(traded->MarketData.Volume, 0);
    const MDQP_TopicMarketData& md = traded->MarketData;
    EXPECT_EQ(md.HighPrice, SimMarketModel::trade_price(*traded, traded->HighOffset));
    EXPECT_EQ(md.LowPrice, SimMarketModel::trade_price(*traded, traded->LowOffset));
    EXPECT_LE(md.LowPrice, md.OpenPrice);
    EXPECT_GE(md.HighPrice, md.OpenPrice);
    EXPECT_EQ(md.LastPrice, SimMarketModel::trade_price(*traded, traded->LastOffset));
    char date[9];
    char time[9];
    SimMarketModel::format_local_time(START + 100, date, time);
    EXPECT_STREQ(time, traded->MarketData.UpdateTime);
    EXPECT_EQ(250, traded->MarketData.UpdateMillisec);
    EXPECT_STREQ(time, model.get_snap_time().SnapTime);
}

TEST(SimMarketModel, LongSequencesOfABigTopicStayBounded)
{
    SimMarketModel model(1001, 500, 5, 3, START, 0);
    std::vector<SimGroup> groups;
    size_t largest = 0;
    for (int n = 0; n < 300; ++n) {
        model.next_sequence(START, 0, groups);
        largest = std::max(largest, groups.size());
    }
    EXPECT_GT(largest, 4u);
    EXPECT_LE(largest, 40u);
}
