// Book operations: level events, trade slices, daily prices and commits on a
// topic's book, one operation (or one undoing pair) per iteration, so that
// the book's state is the same at every iteration.
#include <benchmark/benchmark.h>

#include "benchmarks/BenchStatistics.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "velta/source/task/ListHead.h"
#include "velta/source/task/Reactor.h"

using namespace BRAX::KORV;
using namespace BRAX::KORV_USER_API;
using KORV::USER::KorvUserTopic;
using KORV::USER::MAX_LEVEL;

namespace {

// A book of `instruments` instruments whose two sides hold `levels` levels,
// committed with the given depth. Without a notifier nothing fetches, so the
// instruments stay registered and changes take the already-registered path,
// as all but the first change of an instrument within a packet do.
std::unique_ptr<KorvUserTopic> make_book(int instruments, int levels, int depth)
{
    std::unique_ptr<KorvUserTopic> topic(new KorvUserTopic(1));
    topic->begin_snapshot();
    for (int no = 0; no < instruments; ++no) {
        MDQP_TopicInstrument instrument{};
        snprintf(instrument.InstrumentID, sizeof instrument.InstrumentID, "BX%05d", no);
        instrument.VolumeMultiple = 10;
        instrument.PriceTick = 0.2;
        instrument.TradeBasePrice = 3000;
        instrument.InstrumentNo = no;
        topic->handle_instrument(&instrument);
        MDQP_TopicMarketData data{};
        data.InstrumentNo = no;
        data.LevelBasePrice = 3000;
        topic->handle_market_data(&data);
        for (int i = 0; i < levels; ++i) {
            for (char side : {MDET_Bid, MDET_Ask}) {
                MDQP_TopicMarketByPrice level{};
                level.InstrumentNo = no;
                level.EntryType = side;
                level.Price = side == MDET_Bid ? 2999.8 - 0.2 * i : 3000.2 + 0.2 * i;
                level.Volume = 10 + i;
                topic->handle_market_by_price(&level);
            }
        }
    }
    topic->set_market_data_depth(depth);
    topic->commit();
    return topic;
}

void per_operation(benchmark::State& state, int operations)
{
    // An inverted rate: seconds per operation, printed as "9.2ns".
    state.counters["per_op"] = benchmark::Counter(
        operations, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

MIRP_MDEntryEvent level_event(char type, int level, int offset, int volume)
{
    return MIRP_MDEntryEvent{type, MDET_Bid, level, offset, volume, 0};
}

void check_clean(benchmark::State& state, const KorvUserTopic& topic)
{
    if (topic.get_rejected_count() != 0)
        state.SkipWithError("the book refused an operation");
}

// Volume change at levels 1 to 10 in turn, on a side of 10 levels.
void BM_BookLevelChange(benchmark::State& state)
{
    auto topic = make_book(1, 10, 10);
    MIRP_MDEntryEvent events[10];
    for (int i = 0; i < 10; ++i)
        events[i] = level_event(MBP_EVENT_Change, i + 1, -1 - i, 20 + i);
    unsigned n = 0;
    for (auto _ : state)
        topic->handle_md_entry_event(0, &events[n++ % 10]);
    check_clean(state, *topic);
    per_operation(state, 1);
}
KORV_BENCHMARK(BM_BookLevelChange);

// Insert at level 1 and delete it again on a side of state.range(0) levels:
// 0 is the empty side, 19 fills the side to MAX_LEVEL and deletes from a full
// one, both with the longest shift.
void BM_BookLevelInsertDelete(benchmark::State& state)
{
    int levels = int(state.range(0));
    auto topic = make_book(1, levels, MAX_LEVEL);
    MIRP_MDEntryEvent insert = level_event(MBP_EVENT_New, 1, 0, 5);
    MIRP_MDEntryEvent erase = level_event(MBP_EVENT_Delete, 1, 0, 0);
    for (auto _ : state) {
        topic->handle_md_entry_event(0, &insert);
        topic->handle_md_entry_event(0, &erase);
    }
    check_clean(state, *topic);
    per_operation(state, 2);
}
KORV_BENCHMARK(BM_BookLevelInsertDelete)->Arg(0)->Arg(10)->Arg(19);

// Insert at level 1 on a side at the topic's depth, then commit, which trims
// the level pushed off the bottom: what a new best price costs a packet.
void BM_BookLevelInsertCommitTrim(benchmark::State& state)
{
    int depth = int(state.range(0));
    auto topic = make_book(1, depth, depth);
    MIRP_MDEntryEvent insert = level_event(MBP_EVENT_New, 1, 0, 5);
    for (auto _ : state) {
        topic->handle_md_entry_event(0, &insert);
        topic->commit();
    }
    check_clean(state, *topic);
    per_operation(state, 1);
}
KORV_BENCHMARK(BM_BookLevelInsertCommitTrim)->Arg(5)->Arg(10)->Arg(19);

void BM_BookTradeSlice(benchmark::State& state)
{
    auto topic = make_book(1, 10, 10);
    MIRP_TradeSlice slice{3, 7, 21, -1};
    for (auto _ : state)
        topic->handle_trade_slice(0, &slice);
    check_clean(state, *topic);
    per_operation(state, 1);
}
KORV_BENCHMARK(BM_BookTradeSlice);

void BM_BookDailyPrice(benchmark::State& state)
{
    auto topic = make_book(1, 10, 10);
    MIRP_HighPrice price{12};
    for (auto _ : state)
        topic->handle_daily_price(0, &price);
    check_clean(state, *topic);
    per_operation(state, 1);
}
KORV_BENCHMARK(BM_BookDailyPrice);

// Commit of state.range(0) registered instruments (both sides cut back to
// the depth, nothing waiting); time per instrument.
void BM_BookCommit(benchmark::State& state)
{
    int instruments = int(state.range(0));
    auto topic = make_book(instruments, 10, 10);
    for (auto _ : state)
        topic->commit();
    per_operation(state, instruments);
}
KORV_BENCHMARK(BM_BookCommit)->Arg(1)->Arg(30)->Arg(500);

// Topic time from the packet header, once per packet: one local time
// conversion and two formatted writes.
void BM_BookSetSnapTime(benchmark::State& state)
{
    auto topic = make_book(1, 0, 10);
    unsigned seconds = 1765272600;
    for (auto _ : state)
        topic->set_snap_time(seconds++ / 4, 500);
    per_operation(state, 1);
}
KORV_BENCHMARK(BM_BookSetSnapTime);

class TouchHandler : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        m_sum += market_data->LastPrice + bids[0].Price + asks[0].Volume;
    }
    double m_sum = 0;
};

// One level change and a commit that delivers the instrument to a handler:
// the first change registers and stamps it, the notifier fills the public
// records (market data and both sides) and calls the handler.
void BM_BookChangeCommitDeliver(benchmark::State& state)
{
    Reactor reactor;  // never runs: the notifier parks on the book
    TouchHandler handler;
    auto topic = make_book(1, 10, 10);
    // Take the snapshot's registrations away, so that the notifier parks on
    // the book and every commit below wakes it.
    ListHead pending;
    topic->fetch_updated(pending);
    while (!pending.empty())
        pending.head()->detach();
    KorvUserTopicNotifier notifier(&reactor, 1, topic.get(), &handler);
    MIRP_MDEntryEvent change = level_event(MBP_EVENT_Change, 1, -1, 20);
    for (auto _ : state) {
        ++change.Volume;
        topic->handle_md_entry_event(0, &change);
        topic->commit();
    }
    check_clean(state, *topic);
    benchmark::DoNotOptimize(handler.m_sum);
    per_operation(state, 1);
}
KORV_BENCHMARK(BM_BookChangeCommitDeliver);

}  // namespace
