// What a handler costs the library's thread per update: a plain C++ handler
// that copies the records it keeps, beside the handler that the Python
// package and the bridge install (FeedHandler into a ConflatingQueue), once
// with a reader on another thread keeping up (every update a new pending
// record, and the reader woken) and once with the reader far behind (every
// instrument already pending: each update overwrites its record in place).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "benchmarks/BenchStatistics.h"
#include "source/korv_feed/FeedHandler.h"
#include "source/korv_user/UFDataType.h"

using namespace BRAX::KORV_USER_API;
using namespace KORV::FEED;

namespace {

constexpr int INSTRUMENTS = 500;
constexpr int LEVELS = 5;

// One handler call's records per instrument, as the notifier builds them.
struct Calls {
    Calls() : market_data(INSTRUMENTS), bids(INSTRUMENTS), asks(INSTRUMENTS)
    {
        snprintf(session.SessionDay, sizeof session.SessionDay, "20260102");
        snprintf(snap_time.SnapTime, sizeof snap_time.SnapTime, "09:30:00");
        for (int i = 0; i < INSTRUMENTS; ++i) {
            TopicMarketData& md = market_data[size_t(i)];
            snprintf(md.InstrumentID, sizeof md.InstrumentID, "IF26%04d", i);
            md.LastPrice = 4000 + i;
            md.Volume = i;
            for (int level = 0; level < LEVELS; ++level) {
                bids[size_t(i)].side[level] = {3999.0 - level, level + 1};
                asks[size_t(i)].side[level] = {4001.0 + level, level + 1};
            }
            bids[size_t(i)].side[LEVELS] = {UFBaseFloatType::NULL_VALUE, 0};
            asks[size_t(i)].side[LEVELS] = {UFBaseFloatType::NULL_VALUE, 0};
        }
    }
    void deliver(KorvMarketDataHandler& handler, int i)
    {
        handler.handle_market_data(&session, &snap_time, &market_data[size_t(i)],
                                   bids[size_t(i)].side, asks[size_t(i)].side);
    }
    struct Side {
        TopicPriceEntry side[TOPIC_PRICE_ENTRY_COUNT];
    };
    TopicSettlementSession session{};
    TopicSnapTime snap_time{};
    std::vector<TopicMarketData> market_data;
    std::vector<Side> bids, asks;
};

// A C++ application's own handler: keeps the latest records of the
// instrument it was given, the levels up to the end mark.
class CopyHandler : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime*,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        m_market_data = *market_data;
        copy_side(m_bids, bids);
        copy_side(m_asks, asks);
        benchmark::DoNotOptimize(m_market_data);
    }

private:
    static void copy_side(TopicPriceEntry* out, const TopicPriceEntry* side)
    {
        int n = 0;
        while (n < TOPIC_PRICE_ENTRY_COUNT - 1 && side[n].Price != UFBaseFloatType::NULL_VALUE)
            ++n;
        memcpy(out, side, size_t(n + 1) * sizeof(TopicPriceEntry));
    }
    TopicMarketData m_market_data{};
    TopicPriceEntry m_bids[TOPIC_PRICE_ENTRY_COUNT]{};
    TopicPriceEntry m_asks[TOPIC_PRICE_ENTRY_COUNT]{};
};

void per_update(benchmark::State& state)
{
    state.counters["per_update"] = benchmark::Counter(
        double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_HandlerCopyCpp(benchmark::State& state)
{
    Calls calls;
    CopyHandler handler;
    int i = 0;
    for (auto _ : state) {
        calls.deliver(handler, i);
        i = i + 1 == INSTRUMENTS ? 0 : i + 1;
    }
    per_update(state);
}
KORV_BENCHMARK(BM_HandlerCopyCpp);

// A reader on another thread waiting for each update, as a live Python
// reader does: each push makes a new pending record and wakes it.
void BM_FeedHandlerReaderKeepingUp(benchmark::State& state)
{
    Calls calls;
    ConflatingQueue queue(131072);
    FeedHandler handler(1001, queue);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<FeedRecord> out(64);
        while (!stop.load(std::memory_order_relaxed))
            queue.take(out.data(), out.size(), std::chrono::milliseconds(1));
    });
    int i = 0;
    for (auto _ : state) {
        calls.deliver(handler, i);
        i = i + 1 == INSTRUMENTS ? 0 : i + 1;
    }
    stop = true;
    reader.join();
    ConflatingQueue::Counts counts = queue.counts();
    per_update(state);
    state.counters["conflated_share"] = double(counts.conflated) / double(counts.delivered);
}
KORV_BENCHMARK(BM_FeedHandlerReaderKeepingUp)->UseRealTime();

// No reader: every instrument is pending, each update replaces its record.
void BM_FeedHandlerReaderFarBehind(benchmark::State& state)
{
    Calls calls;
    ConflatingQueue queue(131072);
    FeedHandler handler(1001, queue);
    for (int i = 0; i < INSTRUMENTS; ++i)
        calls.deliver(handler, i);
    int i = 0;
    for (auto _ : state) {
        calls.deliver(handler, i);
        i = i + 1 == INSTRUMENTS ? 0 : i + 1;
    }
    per_update(state);
}
KORV_BENCHMARK(BM_FeedHandlerReaderFarBehind);

}  // namespace
