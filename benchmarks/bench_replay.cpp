// Replay of a capture file: the decode benchmark's feed (BM_MirpDecodeApply/1:
// 500 instruments, 10 levels, the simulator's pace), packed into datagrams as
// the simulator packs them and written to a pcapng file in a temporary
// folder, then played through the replay component: the library's real
// receive path (demultiplexer, subscriber, book, notifier). The snapshot
// comes from the simulator's market of the same seed (the file holds no
// query side), once, before the timing starts. BM_MirpDecodeApply is the
// ceiling: it runs the same packets through decode, apply and delivery with
// nothing around them.
//
//   BM_ReplayFile:   the file read and modelled as well (ReplayCapture::load),
//                    as korv_md_replay does at full speed.
//   BM_ReplayMemory: the file read once; the path alone.
// Argument 0: a handler that only touches the records (as the decode
// benchmark's); 1: the test application's lines, printed as the replay tool
// prints them, to /dev/null.
#include <benchmark/benchmark.h>

#include "benchmarks/BenchStatistics.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "apps/korv_md_replay/ReplayLineHandler.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "apps/korv_md_simulator/SimQuerySide.h"
#include "benchmarks/BenchFeed.h"
#include "source/korv_capture/Ipv4Frame.h"
#include "source/korv_capture/PcapngWriter.h"
#include "source/korv_replay/ReplayCapture.h"
#include "source/korv_replay/ReplayEngine.h"
#include "source/korv_user/KorvUserSubscriber.h"

using KORV::BENCH::BenchFeed;

namespace {

constexpr int INSTRUMENTS = 500;
constexpr int DEPTH = 10;
constexpr uint64_t SEED = 20261209;
// The simulator's datagram size.
constexpr size_t DATAGRAM_SIZE = 1472;

// The feed as a capture file in a folder of its own, removed at exit.
struct ReplayFeed {
    ReplayFeed() : feed(INSTRUMENTS, DEPTH, 8000, 1, SEED)
    {
        std::vector<std::string> datagrams;
        std::string datagram;
        for (const std::vector<char>& packet : feed.packets()) {
            if (!datagram.empty() && datagram.size() + packet.size() > DATAGRAM_SIZE) {
                datagrams.push_back(datagram);
                datagram.clear();
            }
            datagram.append(packet.data(), packet.size());
        }
        datagrams.push_back(datagram);
        char folder_template[] = "/tmp/korv_bench_replay.XXXXXX";
        if (mkdtemp(folder_template) == nullptr)
            return;
        folder = folder_template;
        path = folder + "/feed.pcapng";
        PcapngWriter writer;
        if (writer.open(path) != 0 || writer.start_section({"korv.query=none reason=benchmark"},
                                                           {"udpg://239.3.0.1:30001"}) != 0)
            return;
        Ipv4Endpoint from{inet_addr("10.0.0.9"), 5000};
        Ipv4Endpoint group{inet_addr("239.3.0.1"), 30001};
        std::vector<uint8_t> packet(DATAGRAM_SIZE + 64);
        for (size_t i = 0; i < datagrams.size(); ++i) {
            size_t n = build_udp_packet(from, group, uint16_t(i),
                                        reinterpret_cast<const uint8_t*>(datagrams[i].data()),
                                        datagrams[i].size(), packet.data());
            writer.write_packet(0, int64_t(i) * 1000000, packet.data(), n);
        }
        written = writer.close() == 0;
        std::string error;
        loaded = written && capture.load(path, error) == 0;
    }
    ~ReplayFeed()
    {
        if (!path.empty())
            unlink(path.c_str());
        if (!folder.empty())
            rmdir(folder.c_str());
    }
    BenchFeed feed;
    std::string folder;
    std::string path;
    bool written = false;
    bool loaded = false;
    ReplayCapture capture;
};

const ReplayFeed& replay_feed()
{
    static ReplayFeed feed;
    return feed;
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

// A replay of the capture, started up to its snapshot, with the
// simulator's market of the feed's seed as the query side.
struct StartedReplay {
    StartedReplay(const ReplayCapture& capture, BRAX::KORV_USER_API::KorvMarketDataHandler& handler)
        : engine(capture, &handler, ReplayEngine::Options())
    {
        KORV::SIM::SimOptions market;
        market.m_instruments = INSTRUMENTS;
        market.m_depth = DEPTH;
        market.m_seed = SEED;
        side.reset(new KORV::SIM::SimQuerySide(engine.get_reactor(), market, capture, {}));
        std::string location;
        std::string error;
        started = side->start(location, error) == 0;
        engine.set_query_server(location, market.m_participant_id, market.m_user_id,
                                market.m_password);
        started = started && engine.start(error) == 0;
        if (!started)
            fprintf(stderr, "bench_replay: %s\n", error.c_str());
    }
    ReplayEngine engine;
    std::unique_ptr<KORV::SIM::SimQuerySide> side;
    bool started = false;
};

void run_replay(benchmark::State& state, bool from_file)
{
    const ReplayFeed& f = replay_feed();
    if (!f.loaded) {
        state.SkipWithError("cannot write or read the capture file");
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
        std::unique_ptr<ReplayCapture> loaded;
        if (from_file) {
            loaded.reset(new ReplayCapture());
            std::string error;
            if (loaded->load(f.path, error) != 0) {
                state.SkipWithError(error.c_str());
                break;
            }
        }
        const ReplayCapture& capture = from_file ? *loaded : f.capture;
        state.PauseTiming();
        std::unique_ptr<StartedReplay> replay(new StartedReplay(capture, handler));
        if (!replay->started) {
            state.SkipWithError("the replay did not start");
            break;
        }
        state.ResumeTiming();
        while (replay->engine.step() == 1) {
        }
        state.PauseTiming();
        const KORV::USER::KorvUserSubscriber* subscriber =
            replay->engine.get_subscriber(BenchFeed::TOPIC_ID);
        applied = applied && subscriber != nullptr &&
                  subscriber->get_packet_no() == uint32_t(f.feed.packets().size());
        replay.reset();
        state.ResumeTiming();
    }
    benchmark::DoNotOptimize(touch.m_sum);
    fclose(null_out);
    if (!applied)
        state.SkipWithError("the replay did not apply the whole feed");
    using benchmark::Counter;
    const double packets = double(f.feed.packets().size());
    const double events = double(f.feed.event_count());
    state.counters["packets"] = Counter(packets);
    state.counters["packets_per_s"] = Counter(packets, Counter::kIsIterationInvariantRate);
    state.counters["events_per_s"] = Counter(events, Counter::kIsIterationInvariantRate);
    state.counters["per_event"] =
        Counter(events, Counter::kIsIterationInvariantRate | Counter::kInvert);
}

void BM_ReplayMemory(benchmark::State& state)
{
    run_replay(state, false);
}
KORV_BENCHMARK(BM_ReplayMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_ReplayFile(benchmark::State& state)
{
    run_replay(state, true);
}
KORV_BENCHMARK(BM_ReplayFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
