#include "benchmarks/BenchFeed.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "source/korv_user/KorvUserEventParser.h"
#include "source/korv_user/KorvUserSubscriber.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mirp_protocol/MirpEncoder.h"
#include "source/mirp_protocol/MirpCipher.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "source/mirp_protocol/PlainCipher.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/stream/OutputStream.h"

using namespace BRAX::KORV;
using KORV::SIM::SimEvent;
using KORV::SIM::SimGroup;
using KORV::SIM::SimInstrument;
using KORV::SIM::SimLevel;
using KORV::SIM::SimMarketModel;
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

void append_event(MirpEncoder& encoder, const SimEvent& e)
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

// Times: a trading morning, a model sequence every 100 ms.
constexpr unsigned START_SECONDS = 1765272600;

BenchFeed::BenchFeed(int instrument_count, int depth, int sequence_count, int batch, uint64_t seed,
                     bool skewed)
    : m_event_count(0)
{
    for (int first = 0, octave = 1; first < instrument_count; first += octave, octave *= 2) {
        int count = skewed ? std::min(octave, instrument_count - first) : instrument_count;
        m_starts.emplace_back(
            SimMarketModel(TOPIC_ID, count, depth, seed + uint64_t(first), START_SECONDS, 0),
            first);
        if (!skewed)
            break;
    }
    std::vector<std::pair<SimMarketModel, int>> models = m_starts;
    PacketSink sink(m_packets);
    MirpEncoder encoder(TOPIC_ID, new PlainCipher(), &sink);
    unsigned tenths = 0;
    std::vector<SimGroup> groups;
    for (int s = 0; s < sequence_count; ++s) {
        unsigned seconds = START_SECONDS + tenths / 10;
        unsigned millisec = tenths % 10 * 100;
        encoder.prepare(MIRP_TYPE_MarketEvent, unsigned(s + 1), seconds,
                        static_cast<unsigned short>(millisec));
        for (int b = 0; b < batch; ++b) {
            ++tenths;
            std::pair<SimMarketModel, int>& model = models[tenths % models.size()];
            model.first.next_sequence(START_SECONDS + tenths / 10, tenths % 10 * 100, groups);
            for (const SimGroup& group : groups) {
                InstrumentEventContext context = {group.instrument_no + model.second, 0};
                check(encoder.append_field(MIRP_FID_InstrumentEventHeader,
                                           CODEC_InstrumentEventHeader::field_encode, &context,
                                           sizeof context),
                      "append_field");
                for (const SimEvent& e : group.events)
                    append_event(encoder, e);
                m_event_count += long(group.events.size());
            }
        }
        check(encoder.flush(), "flush");
    }
}

void BenchFeed::fill_book(USER::KorvUserTopic& topic,
                          const std::vector<std::pair<SimMarketModel, int>>& models)
{
    topic.begin_snapshot();
    MDQP_TopicSettlementSession session{};
    const BRAX::KORV_USER_API::TopicSettlementSession& own =
        models[0].first.get_settlement_session();
    memcpy(session.SessionDay, own.SessionDay, sizeof session.SessionDay);
    memcpy(session.SessionCode, own.SessionCode, sizeof session.SessionCode);
    session.SessionNo = own.SessionNo;
    topic.handle_settlement_session(&session);
    for (const std::pair<SimMarketModel, int>& model : models) {
        for (const SimInstrument& instrument : model.first.get_instruments()) {
            // The models of a skewed feed number their instruments alike.
            MDQP_TopicInstrument definition = instrument.Instrument;
            MDQP_TopicMarketData market_data = instrument.MarketData;
            definition.InstrumentNo += model.second;
            market_data.InstrumentNo += model.second;
            if (model.second != 0 || models.size() > 1)
                snprintf(definition.InstrumentID, sizeof definition.InstrumentID, "Z%d",
                         definition.InstrumentNo);
            topic.handle_instrument(&definition);
            topic.handle_market_data(&market_data);
            for (const std::vector<SimLevel>* side : {&instrument.Bids, &instrument.Asks}) {
                for (const SimLevel& level : *side) {
                    MDQP_TopicMarketByPrice record{};
                    record.InstrumentNo = definition.InstrumentNo;
                    record.EntryType = side == &instrument.Bids ? MDET_Bid : MDET_Ask;
                    record.Price = SimMarketModel::level_price(instrument, level);
                    record.Volume = level.volume;
                    topic.handle_market_by_price(&record);
                }
            }
        }
    }
    topic.set_market_data_depth(models[0].first.get_depth());
    topic.commit();
}

bool apply_packet(const MirpPacket& packet, USER::KorvUserTopic& topic, MirpCipher& cipher)
{
    unsigned char content[USER::KorvUserSubscriber::MIRP_CONTENT_SIZE];
    unsigned long length = sizeof content;
    if (cipher.decrypt(reinterpret_cast<const unsigned char*>(packet.data()), packet.length(),
                       content, length) != 0)
        return false;
    const MirpHeader* header = packet.const_header();
    topic.set_snap_no(header->SnapNo);
    topic.set_snap_time(header->SnapSeconds, header->SnapMillisec);
    Packet body(reinterpret_cast<const char*>(content), int(length));
    if (USER::parse_snap_events(body, &topic) != 0)
        return false;
    if ((packet.flag() & MIRP_FLAG_CONTINUE) == 0)
        topic.commit();
    return true;
}

std::vector<SimGroup> BenchFeed::groups_of(const std::vector<char>& packet)
{
    std::vector<SimGroup> groups;
    Packet body(packet.data() + MIRP_HLEN, int(packet.size()) - MIRP_HLEN);
    while (body.length() > 0) {
        MirpFieldHeader header;
        check(mirp_peek_field(body, header), "peek");
        SimEvent e;
        e.field_id = header.FieldID;
        switch (header.FieldID) {
            case MIRP_FID_InstrumentEventHeader: {
                InstrumentEventContext context;
                check(mirp_get_field<CODEC_InstrumentEventHeader>(context, body), "decode");
                groups.push_back(SimGroup{context.InstrumentNo, {}});
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
