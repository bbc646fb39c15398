#include "source/korv_user/KorvUserSubscriber.h"

#include <cstdio>
#include <cstring>

#include "source/korv_user/KorvMdqpResultSet.h"
#include "source/korv_user/KorvUserEventParser.h"
#include "source/korv_user/KorvUserMdqpStub.h"
#include "source/korv_user/KorvUserTopic.h"
#include "source/mdqp_protocol/FieldIterator.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpCipher.h"
#include "source/mirp_protocol/MirpEventRecords.h"
#include "source/mirp_protocol/MirpFieldCodec.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"

using namespace BRAX::KORV;

namespace KORV {
namespace USER {

int parse_md_entry_event(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    MIRP_MDEntryEvent event;
    int ret = mirp_get_field<CODEC_MDEntryEvent>(event, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_md_entry_event(context.InstrumentNo, &event);
    return EC_NONE;
}

int parse_trade_slice(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    MIRP_TradeSlice slice;
    int ret = mirp_get_field<CODEC_TradeSlice>(slice, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_trade_slice(context.InstrumentNo, &slice);
    return EC_NONE;
}

template <typename T>
int parse_daily_price(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    T price;
    int ret = mirp_get_field<CODEC_PriceOffset>(price, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_daily_price(context.InstrumentNo, &price);
    return EC_NONE;
}

template int parse_daily_price<MIRP_HighPrice>(Packet&, const InstrumentEventContext&,
                                               KorvUserTopic*);
template int parse_daily_price<MIRP_LowPrice>(Packet&, const InstrumentEventContext&,
                                              KorvUserTopic*);
template int parse_daily_price<MIRP_OpenPrice>(Packet&, const InstrumentEventContext&,
                                               KorvUserTopic*);
template int parse_daily_price<MIRP_ClosePrice>(Packet&, const InstrumentEventContext&,
                                                KorvUserTopic*);
template int parse_daily_price<MIRP_UpperLimitPrice>(Packet&, const InstrumentEventContext&,
                                                     KorvUserTopic*);
template int parse_daily_price<MIRP_LowerLimitPrice>(Packet&, const InstrumentEventContext&,
                                                     KorvUserTopic*);
template int parse_daily_price<MIRP_SettlementPrice>(Packet&, const InstrumentEventContext&,
                                                     KorvUserTopic*);

namespace {

int parse_delta(Packet& body, const InstrumentEventContext& context, KorvUserTopic* topic)
{
    MIRP_Delta delta;
    int ret = mirp_get_field<CODEC_Ratio>(delta, body);
    if (ret != EC_NONE)
        return ret;
    topic->handle_delta(context.InstrumentNo, &delta);
    return EC_NONE;
}

// A field this receiver does not know is stepped over whole, unless its size
// runs past the body: then there is nothing sound to step to.
int skip_unknown_field(Packet& body, const MirpFieldHeader& header)
{
    printf("unkown field id=%d size=%d\n", header.FieldID, header.FieldSize);
    if (header.FieldSize > body.length() - MIRP_FIELD_HLEN)
        return EC_FORMAT;
    body.pop(MIRP_FIELD_HLEN + header.FieldSize);
    return EC_NONE;
}

}  // namespace

int parse_instrument_event(Packet& body, KorvUserTopic* topic)
{
    InstrumentEventContext context;
    int ret = mirp_get_field<CODEC_InstrumentEventHeader>(context, body);
    while (ret == EC_NONE && body.length() > 0) {
        MirpFieldHeader header;
        ret = mirp_peek_field(body, header);
        if (ret != EC_NONE)
            break;
        switch (header.FieldID) {
            case MIRP_FID_InstrumentEventHeader:
                return EC_NONE;
            case MIRP_FID_MDEntryEvent:
                ret = parse_md_entry_event(body, context, topic);
                break;
            case MIRP_FID_TradeSlice:
                ret = parse_trade_slice(body, context, topic);
                break;
            case MIRP_FID_HighPrice:
                ret = parse_daily_price<MIRP_HighPrice>(body, context, topic);
                break;
            case MIRP_FID_LowPrice:
                ret = parse_daily_price<MIRP_LowPrice>(body, context, topic);
                break;
            case MIRP_FID_OpenPrice:
                ret = parse_daily_price<MIRP_OpenPrice>(body, context, topic);
                break;
            case MIRP_FID_ClosePrice:
                ret = parse_daily_price<MIRP_ClosePrice>(body, context, topic);
                break;
            case MIRP_FID_UpperLimitPrice:
                ret = parse_daily_price<MIRP_UpperLimitPrice>(body, context, topic);
                break;
            case MIRP_FID_LowerLimitPrice:
                ret = parse_daily_price<MIRP_LowerLimitPrice>(body, context, topic);
                break;
            case MIRP_FID_SettlementPrice:
                ret = parse_daily_price<MIRP_SettlementPrice>(body, context, topic);
                break;
            case MIRP_FID_Delta:
                ret = parse_delta(body, context, topic);
                break;
            default:
                ret = skip_unknown_field(body, header);
                break;
        }
    }
    return ret;
}

int parse_snap_events(Packet& body, KorvUserTopic* topic)
{
    int ret = EC_NONE;
    while (ret == EC_NONE && body.length() > 0) {
        MirpFieldHeader header;
        if (mirp_peek_field(body, header) != EC_NONE ||
            header.FieldID != MIRP_FID_InstrumentEventHeader)
            return EC_FORMAT;
        ret = parse_instrument_event(body, topic);
    }
    return ret;
}

namespace {

// A snapshot record is taken only whole: a short field would leave the tail
// of the record zero and put made-up values into the book.
template <class T>
bool fetch_record(const FieldIterator& field, T& record)
{
    record = T();
    if (field.fetch_field(record) >= T::stream_size())
        return true;
    report_event(3, "MdqpError", "snapshot field 0x%04x refused: %d bytes of %d", field.id(),
                 field.size(), T::stream_size());
    return false;
}

}  // namespace

KorvUserSubscriber::KorvUserSubscriber(Reactor* reactor, short topic_id, KorvUserTopic* topic,
                                       KorvUserMdqpStub* stub)
    : m_reactor(reactor),
      m_topic(topic),
      m_stub(stub),
      m_snap_no(0),
      m_packet_no(0),
      m_gap_end(0),
      m_gap_begin(0),
      m_gap_retry(0),
      m_cipher(nullptr),
      m_cipher_reported(false),
      m_cache_full_reported(false),
      m_cached_bytes(0),
      m_packet_allocator(CACHE_BLOCK_SIZE),
      m_state(SID_Auth),
      m_delay_scheduler(nullptr),
      m_grace_scheduler(nullptr),
      m_line_count(1),
      m_action_task(this),
      m_auth_task(this),
      m_fetch_task(this),
      m_flush_task(this),
      m_result_set(nullptr)
{
    (void)topic_id;  // the book has it
    post_action(SID_Auth);
    m_delay_scheduler = m_reactor->open_delay_scheduler(ACTION_DELAY);
    m_grace_scheduler = m_reactor->open_delay_scheduler(GAP_GRACE);
}

// The result set belongs to the stub, which releases it; the tasks leave
// whatever queue holds them as they go.
KorvUserSubscriber::~KorvUserSubscriber()
{
    m_action_task.cancel();
    delete m_delay_scheduler;
    delete m_grace_scheduler;
    delete m_cipher;
}

void KorvUserSubscriber::post_action(StateID state)
{
    m_state = state;
    m_action_task.cancel();
    m_reactor->schedule(&m_action_task);
}

void KorvUserSubscriber::wait_action(StateID state)
{
    m_state = state;
    m_action_task.cancel();
    m_delay_scheduler->schedule(&m_action_task);
}

void KorvUserSubscriber::on_action()
{
    switch (m_state) {
        case SID_Auth:
            m_auth_task.cancel();
            if (m_stub->schedule(&m_auth_task) == EC_NONE)
                post_action(SID_QrySnap);
            else
                wait_action(SID_Auth);
            break;
        case SID_Live:
            break;
        case SID_Flush:
            if (!m_flush_task.in_queue())
                m_reactor->schedule(&m_flush_task);
            post_action(SID_Live);
            break;
        case SID_QrySnap:
            qry_topic_snap();
            break;
        case SID_QryGap:
            qry_topic_gap();
            break;
    }
}

void KorvUserSubscriber::on_auth()
{
    m_action_task.cancel();
    post_action(SID_QrySnap);
}

void KorvUserSubscriber::close_result_set()
{
    if (m_result_set == nullptr)
        return;
    m_result_set->close();
    m_result_set = nullptr;
}

void KorvUserSubscriber::qry_topic_snap()
{
    close_result_set();
    m_result_set = m_stub->req_qry_topic_snap(m_topic->get_topic_id());
    if (m_result_set == nullptr) {
        post_action(SID_Auth);
        return;
    }
    if (m_result_set->schedule(&m_fetch_task) == EC_NONE)
        m_reactor->schedule(&m_fetch_task);
    wait_action(SID_QrySnap);
}

const MirpPacket* KorvUserSubscriber::next_cached_packet() const
{
    auto next = m_cached_packets.upper_bound(m_packet_no);
    return next == m_cached_packets.end() ? nullptr : &next->second->packet;
}

void KorvUserSubscriber::qry_topic_gap()
{
    uint32_t begin = m_packet_no + 1;
    // Another line may have brought the missing packets meanwhile: the
    // replay then goes on, and asks again only for what is still missing.
    const MirpPacket* next = next_cached_packet();
    if (next != nullptr && next->packet_no() == begin) {
        post_action(SID_Flush);
        return;
    }
    if (next != nullptr && next->packet_no() < m_gap_end)
        m_gap_end = next->packet_no();
    if (begin == m_gap_begin) {
        ++m_gap_retry;
    } else {
        m_gap_begin = begin;
        m_gap_retry = 0;
    }
    // Replies that keep missing the first packet would have the subscriber
    // ask for it forever while the cache grows; a snapshot moves past it.
    if (m_gap_retry >= MAX_GAP_RETRY) {
        report_event(3, "GapError", "topic_id = %d, packets [%u, %u) not served, snapshot queried",
                     m_topic->get_topic_id(), begin, m_gap_end);
        m_gap_begin = 0;
        m_gap_retry = 0;
        wait_action(SID_QrySnap);
        return;
    }
    printf("qry_topic_gap [%d, %d)\n", int(begin), int(m_gap_end));
    close_result_set();
    m_result_set = m_stub->req_qry_topic_gap(m_topic->get_topic_id(), begin, m_gap_end);
    if (m_result_set == nullptr) {
        post_action(SID_Auth);
        return;
    }
    if (m_result_set->schedule(&m_fetch_task) == EC_NONE)
        m_reactor->schedule(&m_fetch_task);
    wait_action(SID_QryGap);
}

void KorvUserSubscriber::on_fetch()
{
    m_action_task.cancel();
    if (m_result_set == nullptr)
        return;
    PacketBufferExt<MDQP_PACKET_SIZE> buffer;
    buffer.reset(0);
    int ret = EC_NONE;
    if (m_state == SID_QrySnap) {
        m_topic->begin_snapshot();
        int count = 0;
        while ((ret = m_result_set->read(buffer)) == EC_NONE) {
            if (buffer.length() == 0)
                break;
            if (handle_rsp_qry_topic_snap(buffer) != 0) {
                count = 0;
                break;
            }
            buffer.reset(0);
            ++count;
        }
        report_oversized(ret);
        close_result_set();
        if (count > 0) {
            m_topic->commit();
            post_action(SID_Flush);
        } else {
            wait_action(SID_QrySnap);
        }
    } else if (m_state == SID_QryGap) {
        while ((ret = m_result_set->read(buffer)) == EC_NONE) {
            handle_rsp_qry_topic_gap(buffer);
            buffer.reset(0);
        }
        report_oversized(ret);
        close_result_set();
        post_action(SID_Flush);
    }
}

// A reply packet that does not fit the buffer ends the reading of its
// reply; what was read before it stands.
void KorvUserSubscriber::report_oversized(int read_result) const
{
    if (read_result == EC_INSUF_BUFFER)
        report_event(3, "QryError", "topic_id = %d, reply packet larger than %d bytes refused",
                     m_topic->get_topic_id(), MDQP_PACKET_SIZE);
}

int KorvUserSubscriber::handle_rsp_qry_topic_snap(const Packet& packet)
{
    for (FieldIterator field(packet.data(), int(packet.length()), 0); !field.is_end();
         field.next()) {
        switch (field.id()) {
            case MDQP_RspInfo::field_id(): {
                MDQP_RspInfo info = MDQP_RspInfo();
                // Cut short before its error id, the answer would read as
                // 0, a success, and an empty book would go live.
                if (field.fetch_field(info) < int(sizeof info.ErrorID)) {
                    report_event(3, "MdqpError", "snapshot field 0x%04x refused: %d bytes of %d",
                                 field.id(), field.size(), int(sizeof info.ErrorID));
                    return EC_FORMAT;
                }
                report_event(3, "QryError", "%d %s", info.ErrorID, info.ErrorMsg);
                return info.ErrorID;
            }
            case MDQP_TopicSettlementSession::field_id(): {
                MDQP_TopicSettlementSession session;
                if (fetch_record(field, session))
                    m_topic->handle_settlement_session(&session);
                break;
            }
            case MDQP_TopicInstrument::field_id(): {
                MDQP_TopicInstrument instrument;
                if (fetch_record(field, instrument))
                    m_topic->handle_instrument(&instrument);
                break;
            }
            case MDQP_TopicMarketData::field_id(): {
                MDQP_TopicMarketData market_data;
                if (fetch_record(field, market_data))
                    m_topic->handle_market_data(&market_data);
                break;
            }
            case MDQP_TopicMarketByPrice::field_id(): {
                MDQP_TopicMarketByPrice level;
                if (fetch_record(field, level))
                    m_topic->handle_market_by_price(&level);
                break;
            }
            case MDQP_TopicSnapTag::field_id(): {
                MDQP_TopicSnapTag tag;
                if (!fetch_record(field, tag))
                    break;
                m_topic->set_snap_no(tag.SnapNo);
                printf("rsp qry topic snap no = %d\n", tag.SnapNo);
                m_snap_no = tag.SnapNo;
                break;
            }
            case MDQP_TopicSnapTime::field_id(): {
                MDQP_TopicSnapTime snap_time;
                if (fetch_record(field, snap_time))
                    m_topic->handle_snap_time(&snap_time);
                break;
            }
            case MDQP_TopicAttribute::field_id(): {
                MDQP_TopicAttribute attribute;
                if (!fetch_record(field, attribute))
                    break;
                m_topic->set_market_data_depth(attribute.MarketDataDepth);
                delete m_cipher;
                m_cipher = mirp_create_cipher(static_cast<unsigned char>(attribute.CipherType),
                                              attribute.CipherParam1, attribute.CipherParam2);
                m_cipher_reported = false;
                break;
            }
            case MDQP_MirpPakcetNo::field_id(): {
                MDQP_MirpPakcetNo packet_no;
                if (!fetch_record(field, packet_no))
                    break;
                m_packet_no = uint32_t(packet_no.PacketNo);
                printf("rsp qry topic packet no = %d\n", packet_no.PacketNo);
                break;
            }
            default:
                break;
        }
    }
    return 0;
}

void KorvUserSubscriber::handle_rsp_qry_topic_gap(const Packet& packet)
{
    for (FieldIterator field(packet.data(), int(packet.length()), 0); !field.is_end();
         field.next()) {
        MirpPacket mirp(Packet(field.data(), field.size()));
        if (mirp.valid_packet() < 0)
            return;
        // Another topic's packet would be applied to this book by number.
        if (mirp.topic_id() != uint16_t(m_topic->get_topic_id())) {
            report_event(3, "QryError", "gap reply of topic %d carries a packet of topic %d",
                         m_topic->get_topic_id(), int(mirp.topic_id()));
            continue;
        }
        handle_mirp_packet(mirp);
    }
}

void KorvUserSubscriber::handle_mirp_packet(const MirpPacket& packet)
{
    int r;
    // While a backlog is being replayed, a newer packet goes in behind it:
    // taken now it would be seen as a gap over packets that are cached.
    if (m_state == SID_Live && !m_cached_packets.empty() && packet.packet_no() > m_packet_no)
        r = EC_WOULDBLOCK;
    else
        r = delivery_mirp_packet(packet);
    if (r == 0)
        return;
    printf(
        "KorvUserSubscriber::handle_mirp_packet topic_id = %d, packet_no =%d, type=%d "
        "length=%d, ret=%d\n",
        int(packet.topic_id()), int(packet.packet_no()), int(packet.type()), int(packet.length()),
        r);
    if (r == EC_WOULDBLOCK && packet.type() != MIRP_TYPE_Heartbeat)
        cache_packet(packet);
}

int KorvUserSubscriber::delivery_mirp_packet(const MirpPacket& packet)
{
    if (m_state != SID_Live)
        return EC_WOULDBLOCK;
    uint32_t packet_no = packet.packet_no();
    if (packet_no <= m_packet_no)
        return EC_NONE;
    if (packet_no > m_packet_no + 1) {
        m_gap_end = packet_no;
        if (m_line_count > 1) {
            m_state = SID_QryGap;
            m_action_task.cancel();
            m_grace_scheduler->schedule(&m_action_task);
        } else {
            post_action(SID_QryGap);
        }
        return EC_WOULDBLOCK;
    }
    if (packet.type() != MIRP_TYPE_MarketEvent)
        return EC_NONE;
    apply_market_event(packet);
    if ((packet.flag() & MIRP_FLAG_CONTINUE) == 0) {
        ++m_snap_no;
        m_topic->commit();
    }
    ++m_packet_no;
    return EC_NONE;
}

// A packet that cannot be deciphered or decoded is reported and counts as
// taken: asking for it again would bring the same bytes.
void KorvUserSubscriber::apply_market_event(const MirpPacket& packet)
{
    int topic_id = m_topic->get_topic_id();
    if (m_cipher == nullptr) {
        if (!m_cipher_reported)
            report_event(3, "MirpError",
                         "topic_id = %d, no cipher for the topic: market events dropped from "
                         "packet_no = %u on",
                         topic_id, packet.packet_no());
        m_cipher_reported = true;
        return;
    }
    if (packet.length() > static_cast<unsigned long>(MIRP_CONTENT_SIZE)) {
        report_event(3, "MirpError", "topic_id = %d, packet_no = %u dropped: content of %lu bytes",
                     topic_id, packet.packet_no(), packet.length());
        return;
    }
    unsigned char content[MIRP_CONTENT_SIZE];
    unsigned long length = sizeof content;
    int ret = m_cipher->decrypt(reinterpret_cast<const unsigned char*>(packet.data()),
                                packet.length(), content, length);
    if (ret != EC_NONE || length > sizeof content) {
        report_event(3, "MirpError", "topic_id = %d, packet_no = %u dropped: decrypt %d", topic_id,
                     packet.packet_no(), ret);
        return;
    }
    const MirpHeader* header = packet.const_header();
    m_topic->set_snap_no(header->SnapNo);
    m_topic->set_snap_time(header->SnapSeconds, header->SnapMillisec);
    Packet body(reinterpret_cast<const char*>(content), int(length));
    ret = parse_snap_events(body, m_topic);
    if (ret != EC_NONE)
        report_event(3, "MirpError", "topic_id = %d, packet_no = %u: events cut short, %d",
                     topic_id, packet.packet_no(), ret);
}

void KorvUserSubscriber::on_flush()
{
    // Only a live subscriber replays; in any other state the action task
    // holds a pending query or login wait, which must survive this run.
    if (m_state != SID_Live)
        return;
    for (int i = 0; i < MAX_GAP && !m_cached_packets.empty(); ++i) {
        if (delivery_mirp_packet(m_cached_packets.begin()->second->packet) != 0)
            return;
        pop_cached_packet();
    }
    if (!m_cached_packets.empty())
        m_reactor->schedule(&m_flush_task);
}

void KorvUserSubscriber::cache_packet(const MirpPacket& packet)
{
    uint32_t packet_no = packet.packet_no();
    if (m_cached_packets.count(packet_no) != 0)
        return;
    unsigned long length = packet.length();
    if (m_cached_packets.size() >= MAX_CACHED_PACKETS ||
        length > MAX_CACHED_BYTES - m_cached_bytes) {
        if (!m_cache_full_reported)
            report_event(3, "MirpError",
                         "topic_id = %d, cache full at %zu packets of %lu bytes: packet_no = %u "
                         "refused",
                         m_topic->get_topic_id(), m_cached_packets.size(), m_cached_bytes,
                         packet_no);
        m_cache_full_reported = true;
        return;
    }
    m_cached_packets[packet_no] = hold_packet(packet);
    m_cached_bytes += length;
}

KorvUserSubscriber::CachedPacket* KorvUserSubscriber::hold_packet(const MirpPacket& packet)
{
    m_packet_queue.push_back(CachedPacket{packet, false});
    MirpPacket& copy = m_packet_queue.back().packet;
    unsigned long length = packet.length();
    if (length > 0) {
        void* storage = m_packet_allocator.allocate(length, nullptr);
        memcpy(storage, packet.data(), length);
        copy.attach(static_cast<const char*>(storage), length);
    } else {
        copy.attach(nullptr, 0);
    }
    return &m_packet_queue.back();
}

void KorvUserSubscriber::pop_cached_packet()
{
    if (m_cached_packets.empty())
        return;
    auto lowest = m_cached_packets.begin();
    lowest->second->consumed = true;
    m_cached_bytes -= lowest->second->packet.length();
    m_cached_packets.erase(lowest);
    if (m_cached_packets.empty())
        m_cache_full_reported = false;
    // Storage goes back in arrival order: a consumed packet behind a live
    // one waits for it. A live one that is never reached (numbered far
    // ahead of the stream) would so hold back everything that came after
    // it; once the waiting packets outnumber the cached ones, the live
    // front one is copied to the back and the others go.
    for (;;) {
        while (!m_packet_queue.empty() && m_packet_queue.front().consumed) {
            MirpPacket& front = m_packet_queue.front().packet;
            if (front.length() > 0)
                m_packet_allocator.deallocate(front.data(), front.length());
            m_packet_queue.pop_front();
        }
        if (m_packet_queue.size() <= 2 * m_cached_packets.size())
            return;
        CachedPacket& front = m_packet_queue.front();
        m_cached_packets[front.packet.packet_no()] = hold_packet(front.packet);
        front.consumed = true;
    }
}

}  // namespace USER
}  // namespace KORV
