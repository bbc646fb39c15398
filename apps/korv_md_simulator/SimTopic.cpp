#include "apps/korv_md_simulator/SimTopic.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "apps/korv_md_simulator/SimPublisher.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mdqp_protocol/MdqpSender.h"
#include "source/mirp_protocol/MirpCipher.h"
#include "source/mirp_protocol/MirpEncoder.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "source/mirp_protocol/MirpHeader.h"
#include "velta/source/base/ErrorCode.h"

namespace KORV {
namespace SIM {

using namespace BRAX::KORV;

namespace {

// The plain cipher, with the parameter blocks the snapshot announces.
const unsigned char g_cipher_params[16] = {};
constexpr char PLAIN_CIPHER = '0';

}  // namespace

SimTopic::SimTopic(int topic_id, int instrument_count, int depth, uint64_t seed, int history,
                   SimPublisher* publisher, unsigned seconds, unsigned millisec)
    : m_model(topic_id, instrument_count, depth, seed, seconds, millisec),
      m_history(history),
      m_publisher(publisher),
      m_encoder(new MirpEncoder(uint16_t(topic_id),
                                mirp_create_cipher(PLAIN_CIPHER, g_cipher_params, g_cipher_params),
                                this)),
      m_packet_no(0),
      m_snap_no(0),
      m_heartbeat_count(0),
      m_encode_failures(0)
{
    // Days since the epoch: the receiver does not read it, any day number will do.
    m_encoder->set_trading_day(uint16_t(seconds / 86400));
}

SimTopic::~SimTopic()
{
    delete m_encoder;
}

void SimTopic::encode(uint16_t id, int (*encode)(void*, int, const void*), const void* record,
                      int size)
{
    if (m_encoder->append_field(id, encode, record, size) != EC_NONE)
        ++m_encode_failures;
}

int SimTopic::publish_sequence(unsigned seconds, unsigned millisec)
{
    m_model.next_sequence(seconds, millisec, m_groups);
    if (m_groups.empty())
        return 0;
    uint32_t first = m_packet_no;
    m_encoder->prepare(uint8_t(MIRP_TYPE_MarketEvent), uint32_t(m_snap_no + 1), seconds,
                       uint16_t(millisec));
    for (const SimGroup& group : m_groups) {
        USER::InstrumentEventContext context{group.instrument_no, 0};
        encode(MIRP_FID_InstrumentEventHeader, CODEC_InstrumentEventHeader::field_encode, &context,
               int(sizeof context));
        for (const SimEvent& event : group.events) {
            switch (event.field_id) {
                case MIRP_FID_MDEntryEvent:
                    encode(event.field_id, CODEC_MDEntryEvent::field_encode, &event.entry,
                           int(sizeof event.entry));
                    break;
                case MIRP_FID_TradeSlice:
                    encode(event.field_id, CODEC_TradeSlice::field_encode, &event.trade,
                           int(sizeof event.trade));
                    break;
                case MIRP_FID_Delta:
                    encode(event.field_id, CODEC_Ratio::field_encode, &event.delta,
                           int(sizeof event.delta));
                    break;
                default:
                    encode(event.field_id, CODEC_PriceOffset::field_encode, &event.price,
                           int(sizeof event.price));
                    break;
            }
        }
    }
    if (m_encoder->flush() != EC_NONE)
        ++m_encode_failures;
    ++m_snap_no;
    return int(m_packet_no - first);
}

void SimTopic::publish_heartbeat(unsigned seconds, unsigned millisec)
{
    MirpHeader header;
    header.init();
    header.TransId = uint8_t(MIRP_TYPE_Heartbeat);
    header.PacketNo = m_packet_no + 1;
    header.TopicID = uint16_t(get_topic_id());
    header.SnapMillisec = uint16_t(millisec);
    header.SnapNo = m_snap_no + 1;
    header.SnapSeconds = seconds;
    header.TradingDay = m_encoder->header().TradingDay;
    char bytes[MIRP_HLEN];
    memcpy(bytes, &header, sizeof bytes);
    m_publisher->send(bytes, sizeof bytes);
    ++m_heartbeat_count;
}

int SimTopic::write(const Packet& packet)
{
    if (packet.length() < unsigned(MIRP_HLEN))
        return EC_INVAL;
    ++m_packet_no;
    m_history.add(m_packet_no, packet.data(), packet.length());
    m_publisher->send(packet.data(), packet.length());
    return EC_NONE;
}

int SimTopic::schedule(Task*)
{
    return 0;  // never full
}

long SimTopic::seek(long offset, int whence)
{
    // Only the start of the numbering moves: an offline replay's query side
    // claims the packet before a capture's first one.
    if (whence != SEEK_SET || m_history.size() != 0)
        throw std::logic_error("The method or operation is not implemented.");
    m_packet_no = uint32_t(offset);
    return offset;
}

void SimTopic::write_snapshot(MdqpSender& sender) const
{
    MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
    tag.TopicID = short(get_topic_id());
    tag.SnapNo = m_snap_no;
    sender.append_field(tag);

    MDQP_TopicSnapTime snap_time = MDQP_TopicSnapTime();
    const BRAX::KORV_USER_API::TopicSnapTime& time = m_model.get_snap_time();
    memcpy(snap_time.SnapDate, time.SnapDate, sizeof snap_time.SnapDate);
    memcpy(snap_time.SnapTime, time.SnapTime, sizeof snap_time.SnapTime);
    snap_time.SnapMillisec = time.SnapMillisec;
    sender.append_field(snap_time);

    MDQP_TopicAttribute attribute = MDQP_TopicAttribute();
    attribute.MarketDataDepth = m_model.get_depth();
    attribute.CipherType = PLAIN_CIPHER;
    sender.append_field(attribute);

    MDQP_TopicSettlementSession session = MDQP_TopicSettlementSession();
    const BRAX::KORV_USER_API::TopicSettlementSession& own = m_model.get_settlement_session();
    memcpy(session.SessionDay, own.SessionDay, sizeof session.SessionDay);
    memcpy(session.SessionCode, own.SessionCode, sizeof session.SessionCode);
    session.SessionNo = own.SessionNo;
    sender.append_field(session);

    MDQP_MirpPakcetNo packet_no = MDQP_MirpPakcetNo();
    packet_no.PacketNo = int(m_packet_no);
    sender.append_field(packet_no);

    for (const SimInstrument& instrument : m_model.get_instruments()) {
        sender.append_field(instrument.Instrument);
        sender.append_field(instrument.MarketData);
        const std::vector<SimLevel>* sides[] = {&instrument.Bids, &instrument.Asks};
        for (const std::vector<SimLevel>* side : sides) {
            for (const SimLevel& level : *side) {
                MDQP_TopicMarketByPrice record = MDQP_TopicMarketByPrice();
                record.InstrumentNo = instrument.Instrument.InstrumentNo;
                record.EntryType = side == &instrument.Bids ? MDET_Bid : MDET_Ask;
                record.Price = SimMarketModel::level_price(instrument, level);
                record.Volume = level.volume;
                sender.append_field(record);
            }
        }
    }
}

int SimTopic::write_gap(MdqpSender& sender, uint32_t begin, uint32_t end, int max_packets) const
{
    if (m_history.size() == 0)
        return 0;
    // Only what lies inside both the request and the history; numbers wrap.
    uint32_t low =
        int32_t(m_history.first_packet_no() - begin) > 0 ? m_history.first_packet_no() : begin;
    uint32_t high = int32_t(end - (m_packet_no + 1)) > 0 ? m_packet_no + 1 : end;
    int sent = 0;
    for (uint32_t no = low; int32_t(high - no) > 0 && sent < max_packets; ++no) {
        const std::string* packet = m_history.find(no);
        if (packet == nullptr)
            break;
        sender.append_field(MDQP_TopicGap::field_id(), int(packet->size()), packet->data());
        ++sent;
    }
    return sent;
}

}  // namespace SIM
}  // namespace KORV
