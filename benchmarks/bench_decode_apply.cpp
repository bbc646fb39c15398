// Decode and apply: a recorded feed of MIRP packets goes through what the
// topic subscriber does with each packet (validate, decipher, snapshot number
// and time, parse_snap_events into the book, commit after the last packet of
// a sequence, delivery of every changed instrument to a handler). Beside it,
// in the same binary: the same events as Protocol Buffers messages parsed
// into a reused message, and the same integers decoded by a plain varint loop.
#include <benchmark/benchmark.h>

#include "benchmarks/BenchHeap.h"
#include "benchmarks/BenchStatistics.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "benchmarks/BenchFeed.h"
#include "source/korv_user/KorvUserEventParser.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/korv_user/KorvUserTopicNotifier.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "velta/source/base/Code.h"
#include "velta/source/task/Reactor.h"

#ifdef KORV_BENCH_PROTOBUF
#include "bench_events.pb.h"
#endif

using namespace BRAX::KORV;
using namespace BRAX::KORV_USER_API;
using namespace KORV::BENCH;
using KORV::SIM::SimEvent;
using KORV::SIM::SimGroup;
using KORV::USER::InstrumentEventContext;
using KORV::USER::KorvUserTopic;
using namespace KORV;

namespace {

// A topic of `instruments` instruments with 10 levels a side, 8000
// sequences of the model, packed `batch` to a MIRP sequence.
// Skewed: a few instruments take most events (see BenchFeed.h).
const BenchFeed& feed(int batch, int instruments = 500, bool skewed = false)
{
    static std::map<std::tuple<int, int, bool>, std::unique_ptr<BenchFeed>> feeds;
    std::unique_ptr<BenchFeed>& f = feeds[std::make_tuple(batch, instruments, skewed)];
    if (!f)
        f.reset(new BenchFeed(instruments, 10, 8000 / batch, batch, 20261209, skewed));
    return *f;
}

void report_per_event(benchmark::State& state, long events, long packets)
{
    using benchmark::Counter;
    state.counters["events"] = Counter(double(events));
    state.counters["packets"] = Counter(double(packets));
    // Inverted rates: seconds per event and per packet, printed as "52.8ns".
    state.counters["per_event"] =
        Counter(double(events), Counter::kIsIterationInvariantRate | Counter::kInvert);
    state.counters["per_packet"] =
        Counter(double(packets), Counter::kIsIterationInvariantRate | Counter::kInvert);
}

// Only touches the records, as the cheapest real handler would.
class TouchHandler : public KorvMarketDataHandler {
public:
    void handle_market_data(const TopicSettlementSession*, const TopicSnapTime* snap_time,
                            const TopicMarketData* market_data, const TopicPriceEntry* bids,
                            const TopicPriceEntry* asks) override
    {
        m_sum += market_data->LastPrice + market_data->Volume + bids[0].Price + asks[0].Volume +
                 snap_time->SnapMillisec;
        ++m_calls;
    }

    double m_sum = 0;
    long m_calls = 0;
};

// The subscriber's path for one packet in sequence. Kept out of line so that
// a profiler can collect exactly this part.
__attribute__((noinline)) void receive(const std::vector<char>& bytes, KorvUserTopic& topic,
                                       MirpCipher& cipher)
{
    MirpPacket packet(Packet(bytes.data(), int(bytes.size())));
    if (packet.valid_packet() < 0 || !apply_packet(packet, topic, cipher))
        abort();
}

void run_decode_apply(benchmark::State& state, const BenchFeed& f)
{
    Reactor reactor;  // never runs: the notifier only parks on the book
    TouchHandler handler;
    PlainCipher cipher;
    std::unique_ptr<KorvUserTopic> topic;
    std::unique_ptr<KorvUserTopicNotifier> notifier;
    long deliveries = 0;
    for (auto _ : state) {
        // Each pass replays the feed on a fresh book filled from the feed's
        // starting snapshot, outside the timed part.
        state.PauseTiming();
        notifier.reset();
        topic.reset(new KorvUserTopic(BenchFeed::TOPIC_ID));
        notifier.reset(
            new KorvUserTopicNotifier(&reactor, BenchFeed::TOPIC_ID, topic.get(), &handler));
        f.fill_snapshot(*topic);
        long before = handler.m_calls;
        state.ResumeTiming();
        for (const std::vector<char>& packet : f.packets())
            receive(packet, *topic, cipher);
        deliveries += handler.m_calls - before;
    }
    if (topic->get_rejected_count() != 0)
        state.SkipWithError("the book refused events of the feed");
    benchmark::DoNotOptimize(handler.m_sum);
    report_per_event(state, f.event_count(), long(f.packets().size()));
    state.counters["deliveries_per_packet"] =
        double(deliveries) / double(state.iterations()) / double(f.packets().size());
}
void BM_MirpDecodeApply(benchmark::State& state)
{
    run_decode_apply(state, feed(int(state.range(0))));
}
KORV_BENCHMARK(BM_MirpDecodeApply)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

// Decode only: the same bodies, deciphered beforehand, walked field by field
// and decoded by the codecs into the event records, which go nowhere but a
// checksum: the part of decode + apply that is neither the book nor the
// delivery. The walk reads each field's header once and hands it to the
// codec, as the subscriber's own walk does.
__attribute__((noinline)) int64_t decode_body(const std::vector<char>& body)
{
    Packet packet(body.data(), int(body.size()));
    int64_t sum = 0;
    InstrumentEventContext context;
    while (packet.length() > 0) {
        MirpFieldHeader header;
        if (mirp_peek_field(packet, header) != EC_NONE)
            abort();
        int ret;
        switch (header.FieldID) {
            case MIRP_FID_InstrumentEventHeader:
                ret = mirp_take_field<CODEC_InstrumentEventHeader>(context, packet, header);
                sum += context.InstrumentNo;
                break;
            case MIRP_FID_MDEntryEvent: {
                MIRP_MDEntryEvent event;
                ret = mirp_take_field<CODEC_MDEntryEvent>(event, packet, header);
                sum += event.EventType + event.PriceLevel + event.PriceOffset + event.Volume;
                break;
            }
            case MIRP_FID_TradeSlice: {
                MIRP_TradeSlice slice;
                ret = mirp_take_field<CODEC_TradeSlice>(slice, packet, header);
                sum += slice.LastPriceOffset + slice.Volume + slice.TurnoverOffset;
                break;
            }
            case MIRP_FID_Delta: {
                MIRP_Delta delta;
                ret = mirp_take_field<CODEC_Ratio>(delta, packet, header);
                sum += int64_t(delta.Delta);
                break;
            }
            default: {
                MIRP_HighPrice price;
                ret = mirp_take_field<CODEC_PriceOffset>(price, packet, header);
                sum += price.PriceOffset;
                break;
            }
        }
        if (ret != EC_NONE)
            abort();
    }
    return sum;
}

void BM_MirpDecodeOnly(benchmark::State& state)
{
    const BenchFeed& f = feed(int(state.range(0)));
    PlainCipher cipher;
    std::vector<std::vector<char>> bodies;
    for (const std::vector<char>& bytes : f.packets()) {
        MirpPacket packet(Packet(bytes.data(), int(bytes.size())));
        unsigned char content[1232];
        unsigned long length = sizeof content;
        if (packet.valid_packet() < 0 ||
            cipher.decrypt(reinterpret_cast<const unsigned char*>(packet.data()), packet.length(),
                           content, length) != 0)
            abort();
        bodies.emplace_back(reinterpret_cast<const char*>(content),
                            reinterpret_cast<const char*>(content) + length);
    }
    for (auto _ : state) {
        for (const std::vector<char>& body : bodies)
            benchmark::DoNotOptimize(decode_body(body));
    }
    report_per_event(state, f.event_count(), long(f.packets().size()));
}
KORV_BENCHMARK(BM_MirpDecodeOnly)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

// Scale: the same pace (batch 8) on topics of 10 to 100000 instruments.
void scale_sizes(benchmark::internal::Benchmark* benchmark)
{
    for (int instruments : {10, 100, 1000, 10000, 100000})
        benchmark->Arg(instruments);
}

void BM_MirpDecodeApplyScale(benchmark::State& state)
{
    run_decode_apply(state, feed(8, int(state.range(0))));
}
KORV_BENCHMARK(BM_MirpDecodeApplyScale)->Apply(scale_sizes)->Unit(benchmark::kMicrosecond);

// The same sizes with the skewed model: a few instruments take most events.
void BM_MirpDecodeApplyScaleSkewed(benchmark::State& state)
{
    run_decode_apply(state, feed(8, int(state.range(0)), true));
}
KORV_BENCHMARK(BM_MirpDecodeApplyScaleSkewed)->Apply(scale_sizes)->Unit(benchmark::kMicrosecond);

// Snapshot: filling an empty book with the records of a whole topic (the
// book's part of taking a snapshot; the MDQP transfer is not included), and
// the heap the filled book takes per instrument.
void BM_BookSnapshot(benchmark::State& state)
{
    int instruments = int(state.range(0));
    const BenchFeed f(instruments, 10, 0, 1, 20261209);
    long bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        long before = heap_bytes();
        std::unique_ptr<KorvUserTopic> topic(new KorvUserTopic(BenchFeed::TOPIC_ID));
        state.ResumeTiming();
        f.fill_snapshot(*topic);
        state.PauseTiming();
        bytes = heap_bytes() - before;
        topic.reset();
        state.ResumeTiming();
    }
    state.counters["per_instrument"] = benchmark::Counter(
        instruments, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["heap_bytes_per_instrument"] = double(bytes) / instruments;
    state.counters["entry_bytes"] = double(sizeof(KorvUserTopic::InstrumentMarketData));
}
KORV_BENCHMARK(BM_BookSnapshot)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond);

// The integers of a packet's events, each as a zigzag varint, back to back.
std::vector<unsigned char> integers_of(const std::vector<char>& packet)
{
    std::vector<unsigned char> out;
    unsigned char buf[10];
    auto put = [&](int64_t v) {
        int n = VELTA::CODE::var_int64_encode(buf, v);
        out.insert(out.end(), buf, buf + n);
    };
    for (const SimGroup& group : BenchFeed::groups_of(packet)) {
        put(group.instrument_no);
        put(0);
        for (const SimEvent& e : group.events) {
            switch (e.field_id) {
                case MIRP_FID_MDEntryEvent:
                    put(e.entry.EventType);
                    put(e.entry.EntryType);
                    put(e.entry.PriceLevel);
                    put(e.entry.PriceOffset);
                    put(e.entry.Volume);
                    put(e.entry.EventAttr1);
                    break;
                case MIRP_FID_TradeSlice:
                    put(e.trade.LastPriceOffset);
                    put(e.trade.Volume);
                    put(e.trade.TurnoverOffset);
                    put(e.trade.OpenInterestChange);
                    break;
                case MIRP_FID_Delta:
                    break;  // a double, not an integer
                default:
                    put(e.price.PriceOffset);
                    break;
            }
        }
    }
    return out;
}

// The floor: one loop over the bytes, no fields, no records, no book. Out of
// line, like receive(), so that a profiler can count exactly this loop.
__attribute__((noinline)) int64_t decode_integers(const unsigned char* p, const unsigned char* end)
{
    int64_t sum = 0;
    while (p < end) {
        uint64_t v = 0;
        int shift = 0;
        unsigned char b;
        do {
            b = *p++;
            v |= uint64_t(b & 0x7F) << shift;
            shift += 7;
        } while (b & 0x80);
        sum += int64_t(v >> 1) ^ -int64_t(v & 1);
    }
    return sum;
}

void BM_ScalarVarintLoop(benchmark::State& state)
{
    const BenchFeed& f = feed(int(state.range(0)));
    std::vector<std::vector<unsigned char>> buffers;
    for (const std::vector<char>& packet : f.packets())
        buffers.push_back(integers_of(packet));
    for (auto _ : state) {
        for (const std::vector<unsigned char>& b : buffers)
            benchmark::DoNotOptimize(decode_integers(b.data(), b.data() + b.size()));
    }
    report_per_event(state, f.event_count(), long(f.packets().size()));
}
KORV_BENCHMARK(BM_ScalarVarintLoop)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

#ifdef KORV_BENCH_PROTOBUF

std::string protobuf_of(const std::vector<char>& packet)
{
    korv_bench::EventBatch batch;
    for (const SimGroup& group : BenchFeed::groups_of(packet)) {
        korv_bench::InstrumentGroup* g = batch.add_groups();
        g->set_instrument_no(group.instrument_no);
        for (const SimEvent& e : group.events) {
            switch (e.field_id) {
                case MIRP_FID_MDEntryEvent: {
                    korv_bench::LevelEvent* level = g->add_levels();
                    level->set_event_type(uint32_t(e.entry.EventType));
                    level->set_entry_type(uint32_t(e.entry.EntryType));
                    level->set_price_level(e.entry.PriceLevel);
                    level->set_price_offset(e.entry.PriceOffset);
                    level->set_volume(e.entry.Volume);
                    level->set_event_attr1(e.entry.EventAttr1);
                    break;
                }
                case MIRP_FID_TradeSlice: {
                    korv_bench::TradeSlice* trade = g->add_trades();
                    trade->set_last_price_offset(e.trade.LastPriceOffset);
                    trade->set_volume(e.trade.Volume);
                    trade->set_turnover_offset(e.trade.TurnoverOffset);
                    trade->set_open_interest_change(e.trade.OpenInterestChange);
                    break;
                }
                case MIRP_FID_Delta:
                    g->add_deltas(e.delta.Delta);
                    break;
                default: {
                    korv_bench::DailyPrice* price = g->add_prices();
                    price->set_field_id(e.field_id);
                    price->set_price_offset(e.price.PriceOffset);
                    break;
                }
            }
        }
    }
    return batch.SerializeAsString();
}

void BM_ProtobufParse(benchmark::State& state)
{
    const BenchFeed& f = feed(int(state.range(0)));
    std::vector<std::string> messages;
    long bytes = 0;
    for (const std::vector<char>& packet : f.packets()) {
        messages.push_back(protobuf_of(packet));
        bytes += long(messages.back().size());
    }
    // One pass first, so that the reused message holds every element it will
    // need and the timed passes allocate nothing.
    korv_bench::EventBatch batch;
    for (const std::string& m : messages)
        batch.ParseFromArray(m.data(), int(m.size()));
    for (auto _ : state) {
        for (const std::string& m : messages) {
            if (!batch.ParseFromArray(m.data(), int(m.size())))
                abort();
        }
        benchmark::DoNotOptimize(batch.groups_size());
    }
    report_per_event(state, f.event_count(), long(f.packets().size()));
    long mirp_bytes = 0;
    for (const std::vector<char>& packet : f.packets())
        mirp_bytes += long(packet.size()) - MIRP_HLEN;
    state.counters["bytes_vs_mirp"] = double(bytes) / double(mirp_bytes);
}
KORV_BENCHMARK(BM_ProtobufParse)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

#endif

}  // namespace
