#include "benchmarks/BenchFeed.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "source/mirp_protocol/MirpEncoder.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/stream/OutputStream.h"

using namespace BRAX::KORV;
using KORV::USER::InstrumentEventContext;

namespace KORV {
namespace BENCH {

namespace {

// Keeps a copy of every packet the encoder writes; tell() counts them, so
// packet numbers start at 1.
class PacketSink : public OutputStream<Packet> {
public:
    explicit PacketSink(std::vector<std::vector<char>>& packets) : m_packets(packets) {}
    int schedule(Task*) override { return EC_NONE; }
    long seek(long, int) override { return 0; }
    long tell() override { return long(m_packets.size()); }
    int write(const Packet& packet) override
    {
        m_packets.emplace_back(packet.data(), packet.data() + packet.length());
        return EC_NONE;
    }
    int close() override { return EC_NONE; }

private:
    std::vector<std::vector<char>>& m_packets;
};

void check(int ret, const char* what)
{
    if (ret != EC_NONE) {
        fprintf(stderr, "bench feed: %s failed with %d\n", what, ret);
        exit(1);
    }
}

void append_event(MirpEncoder& encoder, const BenchEvent& e)
{
    int ret;
    switch (e.field_id) {
    case MIRP_FID_MDEntryEvent:
        ret = encoder.append_field(e.field_id, CODEC_MDEntryEvent::field_encode, &e.entry,
                                   sizeof e.entry);
        break;
    case MIRP_FID_TradeSlice:
        ret = encoder.append_field(e.field_id, CODEC_TradeSlice::field_encode, &e.trade,
                                   sizeof e.trade);
        break;
    case MIRP_FID_Delta:
        ret = encoder.append_field(e.field_id, CODEC_Ratio::field_encode, &e.delta,
                                   sizeof e.delta);
        break;
    default:
        ret = encoder.append_field(e.field_id, CODEC_PriceOffset::field_encode, &e.price,
                                   sizeof e.price);
        break;
    }
    check(ret, "append_field");
}

}  // namespace

BenchFeed::BenchFeed(int instrument_count, int depth, int sequence_count, uint32_t seed)
    : m_start(instrument_count, depth, seed), m_event_count(0), m_group_count(0)
{
    BenchMarket market = m_start;
    std::mt19937 rng(seed + 1);
    PacketSink sink(m_packets);
    MirpEncoder encoder(TOPIC_ID, new PlainCipher(), &sink);
    unsigned seconds = 1765272600;  // a trading morning
    unsigned millisec = 0;
    for (int s = 0; s < sequence_count; ++s) {
        millisec += 500;
        if (millisec >= 1000) {
            millisec -= 1000;
            ++seconds;
        }
        encoder.prepare(MIRP_TYPE_MarketEvent, unsigned(s + 1), seconds,
                        static_cast<unsigned short>(millisec));
        for (const BenchGroup& group : market.next_sequence(1 + int(rng() % 60))) {
            InstrumentEventContext context = {group.instrument_no, 0};
            check(encoder.append_field(MIRP_FID_InstrumentEventHeader,
                                       CODEC_InstrumentEventHeader::field_encode, &context,
                                       sizeof context),
                  "append_field");
            for (const BenchEvent& e : group.events)
                append_event(encoder, e);
            m_event_count += long(group.events.size());
            ++m_group_count;
        }
        check(encoder.flush(), "flush");
    }
}

std::vector<BenchGroup> BenchFeed::groups_of(const std::vector<char>& packet)
{
    std::vector<BenchGroup> groups;
    Packet body(packet.data() + MIRP_HLEN, int(packet.size()) - MIRP_HLEN);
    while (body.length() > 0) {
        MirpFieldHeader header;
        check(mirp_peek_field(body, header), "peek");
        BenchEvent e;
        e.field_id = header.FieldID;
        switch (header.FieldID) {
        case MIRP_FID_InstrumentEventHeader: {
            InstrumentEventContext context;
            check(mirp_get_field<CODEC_InstrumentEventHeader>(context, body), "decode");
            groups.push_back(BenchGroup{context.InstrumentNo, {}});
            continue;
        }
        case MIRP_FID_MDEntryEvent:
            check(mirp_get_field<CODEC_MDEntryEvent>(e.entry, body), "decode");
            break;
        case MIRP_FID_TradeSlice:
            check(mirp_get_field<CODEC_TradeSlice>(e.trade, body), "decode");
            break;
        case MIRP_FID_Delta:
            check(mirp_get_field<CODEC_Ratio>(e.delta, body), "decode");
            break;
        default:
            check(mirp_get_field<CODEC_PriceOffset>(e.price, body), "decode");
            break;
        }
        groups.back().events.push_back(e);
    }
    return groups;
}

}  // namespace BENCH
}  // namespace KORV
