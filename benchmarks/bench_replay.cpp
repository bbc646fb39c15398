// Offline replay: the decode benchmark's feed (BM_MirpDecodeApply/1: 500
// instruments, 10 levels, the simulator's pace), packed into datagrams as the
// simulator packs them and written to a capture file, then played through
// the library's real receive path by OfflineReplay (demultiplexer,
// subscriber, book, notifier; the test application's lines written to
// /dev/null). BM_MirpDecodeApply is the ceiling: it runs the same packets
// through decode, apply and delivery with nothing around them.
//
//   BM_OfflineReplayMemory: the datagrams from memory, the path alone.
//   BM_OfflineReplayFile:   the file read with libpcap as well, as
//                           korv_md_replay does at full speed.
// Argument 0: a handler that only touches the records (as the decode
// benchmark's); 1: the test application's lines, printed and flushed one by
// one as the replay tool prints them.
#include <benchmark/benchmark.h>

#include "benchmarks/BenchStatistics.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "apps/korv_md_capture/PcapDatagramWriter.h"
#include "apps/korv_md_replay/OfflineReplay.h"
#include "apps/korv_md_replay/PcapDatagramReader.h"
#include "apps/korv_md_replay/ReplayLineHandler.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "benchmarks/BenchFeed.h"
#include "source/korv_user/KorvUserSubscriber.h"

using KORV::BENCH::BenchFeed;

namespace {

constexpr int INSTRUMENTS = 500;
constexpr int DEPTH = 10;
constexpr uint64_t SEED = 20261209;
// The simulator's datagram size.
constexpr size_t DATAGRAM_SIZE = 1472;

struct ReplayFeed {
    ReplayFeed() : feed(INSTRUMENTS, DEPTH, 8000, 1, SEED)
    {
        std::string datagram;
        for (const std::vector<char>& packet : feed.packets()) {
            if (!datagram.empty() && datagram.size() + packet.size() > DATAGRAM_SIZE) {
                datagrams.push_back(datagram);
                datagram.clear();
            }
            datagram.append(packet.data(), packet.size());
        }
        datagrams.push_back(datagram);
        path = "bench_replay.pcap";
        PcapDatagramWriter writer;
        if (writer.open(path) != 0)
            return;
        for (size_t i = 0; i < datagrams.size(); ++i) {
            CapturedDatagram d;
            d.time_us = int64_t(i) * 1000;
            d.payload = reinterpret_cast<const uint8_t*>(datagrams[i].data());
            d.length = datagrams[i].size();
            writer.write(d);
        }
        written = writer.close() == 0;
    }
    BenchFeed feed;
    std::vector<std::string> datagrams;
    std::string path;
    bool written = false;
};

const ReplayFeed& replay_feed()
{
    static ReplayFeed feed;
    return feed;
}

// A replay at the start of the feed: the query side's snapshot is the
// feed's starting market.
std::unique_ptr<OfflineReplay> started_replay(BRAX::KORV_USER_API::KorvMarketDataHandler& handler)
{
    KORV::SIM::SimOptions market;
    market.m_instruments = INSTRUMENTS;
    market.m_depth = DEPTH;
    market.m_seed = SEED;
    std::unique_ptr<OfflineReplay> replay(new OfflineReplay(BenchFeed::TOPIC_ID, market, &handler));
    std::string error;
    if (replay->start(0, 0, 1, error) != 0) {
        fprintf(stderr, "bench_replay: %s\n", error.c_str());
        return nullptr;
    }
    return replay;
}

// Only touches the records, as the cheapest real handler would.
class TouchHandler : public BRAX::KORV_USER_API::KorvMarketDataHandler {
public:
    void handle_market_data(const BRAX::KORV_USER_API::TopicSettlementSession*,
                            const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
                            const BRAX::KORV_USER_API::TopicMarketData* market_data,
                            const BRAX::KORV_USER_API::TopicPriceEntry* bids,
                            const BRAX::KORV_USER_API::TopicPriceEntry* asks) override
    {
        m_sum += market_data->LastPrice + market_data->Volume + bids[0].Price + asks[0].Volume +
                 snap_time->SnapMillisec;
    }
    double m_sum = 0;
};

void run_replay(benchmark::State& state, bool from_file)
{
    const ReplayFeed& f = replay_feed();
    if (!f.written) {
        state.SkipWithError("cannot write the capture file");
        return;
    }
    FILE* null_out = fopen("/dev/null", "w");
    ReplayLineHandler lines(null_out);
    TouchHandler touch;
    BRAX::KORV_USER_API::KorvMarketDataHandler& handler =
        state.range(0) != 0 ? static_cast<BRAX::KORV_USER_API::KorvMarketDataHandler&>(lines)
                            : touch;
    bool applied = true;
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<OfflineReplay> replay = started_replay(handler);
        if (!replay) {
            state.SkipWithError("the replay did not start");
            break;
        }
        PcapDatagramReader reader;
        state.ResumeTiming();
        if (from_file) {
            reader.open(f.path);
            CapturedDatagram d;
            while (reader.next(d) == 1)
                replay->feed(d.payload, d.length);
        } else {
            for (const std::string& d : f.datagrams)
                replay->feed(reinterpret_cast<const uint8_t*>(d.data()), d.size());
        }
        state.PauseTiming();
        applied = applied &&
                  replay->get_subscriber()->get_packet_no() == uint32_t(f.feed.packets().size());
        replay.reset();
        state.ResumeTiming();
    }
    benchmark::DoNotOptimize(touch.m_sum);
    fclose(null_out);
    if (!applied)
        state.SkipWithError("the replay did not apply the whole feed");
    using benchmark::Counter;
    state.counters["packets"] = Counter(double(f.feed.packets().size()));
    state.counters["packets_per_s"] =
        Counter(double(f.feed.packets().size()), Counter::kIsIterationInvariantRate);
    state.counters["per_packet"] = Counter(double(f.feed.packets().size()),
                                           Counter::kIsIterationInvariantRate | Counter::kInvert);
}

void BM_OfflineReplayMemory(benchmark::State& state)
{
    run_replay(state, false);
}
KORV_BENCHMARK(BM_OfflineReplayMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_OfflineReplayFile(benchmark::State& state)
{
    run_replay(state, true);
}
KORV_BENCHMARK(BM_OfflineReplayFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
