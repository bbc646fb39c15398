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
#include "velta/source/base/Trace.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"

using namespace BRAX::KORV;

namespace KORV {
namespace USER {

namespace {

// One event field each, whose header the caller has peeked, applied to the
// context's instrument.
// Level events and trades, most of a feed, go to the entry the group looked
// up once.
int parse_md_entry_event(Packet& body, const MirpFieldHeader& header,
                         const InstrumentEventContext& context,
                         KorvUserTopic::InstrumentMarketData* entry, KorvUserTopic* topic)
{
    MIRP_MDEntryEvent event;
    int ret = mirp_take_field<CODEC_MDEntryEvent>(event, body, header);
    if (ret != EC_NONE)
        return ret;
    topic->handle_md_entry_event(entry, context.InstrumentNo, &event);
    return EC_NONE;
}

int parse_trade_slice(Packet& body, const MirpFieldHeader& header,
                      const InstrumentEventContext& context,
                      KorvUserTopic::InstrumentMarketData* entry, KorvUserTopic* topic)
{
    MIRP_TradeSlice slice;
    int ret = mirp_take_field<CODEC_TradeSlice>(slice, body, header);
    if (ret != EC_NONE)
        return ret;
    topic->handle_trade_slice(entry, context.InstrumentNo, &slice);
    return EC_NONE;
}

// T is one of the seven daily price records.
template <typename T>
int parse_daily_price(Packet& body, const MirpFieldHeader& header,
                      const InstrumentEventContext& context, KorvUserTopic* topic)
{
    T price;
    int ret = mirp_take_field<CODEC_PriceOffset>(price, body, header);
    if (ret != EC_NONE)
        return ret;
    topic->handle_daily_price(context.InstrumentNo, &price);
    return EC_NONE;
}

int parse_delta(Packet& body, const MirpFieldHeader& header, const InstrumentEventContext& context,
                KorvUserTopic* topic)
{
    MIRP_Delta delta;
    int ret = mirp_take_field<CODEC_Ratio>(delta, body, header);
    if (ret != EC_NONE)
        return ret;
    topic->handle_delta(context.InstrumentNo, &delta);
    return EC_NONE;
}

// A field this receiver does not know is stepped over whole, unless its size
// runs past the body: then there is nothing sound to step to. One line per
// body tells of it: a body may hold hundreds of such fields.
int skip_unknown_field(Packet& body, const MirpFieldHeader& header, bool& reported)
{
    if (!reported)
        trace_printf("unkown field id=%d size=%d\n", header.FieldID, header.FieldSize);
    reported = true;
    if (header.FieldSize > body.length() - MIRP_FIELD_HLEN)
        return EC_FORMAT;
    body.pop(MIRP_FIELD_HLEN + header.FieldSize);
    return EC_NONE;
}

}  // namespace

// Each field's header is read once: the walk peeks it to choose the codec,
// and the codec takes the content behind it.
int parse_instrument_event(Packet& body, const MirpFieldHeader& first, KorvUserTopic* topic,
                           bool& unknown_reported)
{
    InstrumentEventContext context;
    int ret = mirp_take_field<CODEC_InstrumentEventHeader>(context, body, first);
    KorvUserTopic::InstrumentMarketData* entry =
        ret == EC_NONE ? topic->find_instrument(context.InstrumentNo) : nullptr;
    while (ret == EC_NONE && body.length() > 0) {
        MirpFieldHeader header;
        ret = mirp_peek_field(body, header);
        if (ret != EC_NONE)
            break;
        // Level events first, outside the switch: most fields are one, and a
        // test predicts better than the switch's jump through a table.
        if (header.FieldID == MIRP_FID_MDEntryEvent) {
            ret = parse_md_entry_event(body, header, context, entry, topic);
            continue;
        }
        switch (header.FieldID) {
            case MIRP_FID_InstrumentEventHeader:
                return EC_NONE;
            case MIRP_FID_TradeSlice:
                ret = parse_trade_slice(body, header, context, entry, topic);
                break;
            case MIRP_FID_HighPrice:
                ret = parse_daily_price<MIRP_HighPrice>(body, header, context, topic);
                break;
            case MIRP_FID_LowPrice:
                ret = parse_daily_price<MIRP_LowPrice>(body, header, context, topic);
                break;
            case MIRP_FID_OpenPrice:
                ret = parse_daily_price<MIRP_OpenPrice>(body, header, context, topic);
                break;
            case MIRP_FID_ClosePrice:
                ret = parse_daily_price<MIRP_ClosePrice>(body, header, context, topic);
                break;
            case MIRP_FID_UpperLimitPrice:
                ret = parse_daily_price<MIRP_UpperLimitPrice>(body, header, context, topic);
                break;
            case MIRP_FID_LowerLimitPrice:
                ret = parse_daily_price<MIRP_LowerLimitPrice>(body, header, context, topic);
                break;
            case MIRP_FID_SettlementPrice:
                ret = parse_daily_price<MIRP_SettlementPrice>(body, header, context, topic);
                break;
            case MIRP_FID_Delta:
                ret = parse_delta(body, header, context, topic);
                break;
            default:
                ret = skip_unknown_field(body, header, unknown_reported);
                break;
        }
    }
    return ret;
}

int parse_snap_events(Packet& body, KorvUserTopic* topic)
{
    int ret = EC_NONE;
    bool unknown_reported = false;
    while (ret == EC_NONE && body.length() > 0) {
        MirpFieldHeader header;
        if (mirp_peek_field(body, header) != EC_NONE ||
            header.FieldID != MIRP_FID_InstrumentEventHeader)
            return EC_FORMAT;
        ret = parse_instrument_event(body, header, topic, unknown_reported);
    }
    return ret;
}

namespace {

// How far `to` lies after `from` among packet numbers that wrap; negative
// when it lies before.
int32_t serial_distance(uint32_t from, uint32_t to)
{
    return static_cast<int32_t>(to - from);
}

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
      m_packet_line(0),
      m_snapshot_packet_no(0),
      m_snapshot_packet_known(false),
      m_snapshot_open(false),
      m_snapshot_empty_read(false),
      m_saved_snap_no(0),
      m_unserved_end(0),
      m_unserved(false),
      m_far_ahead_run(0),
      m_far_ahead_first_ms(0),
      m_far_ahead_last_ms(0),
      m_snapshot_start_ms(0),
      m_snapshot_bytes(0),
      m_hole_end(0),
      m_hole_asked(false),
      m_hole_waiting(false),
      m_hole_stalled(false),
      m_line_moved(false),
      m_gap_end(0),
      m_gap_begin(0),
      m_gap_retry(0),
      m_cipher(nullptr),
      m_cipher_reported(false),
      m_cache_full_reported(false),
      m_cached_bytes(0),
      m_applied(APPLIED_DIGESTS, AppliedDigest{0, false, 0}),
      m_packet_allocator(CACHE_BLOCK_SIZE),
      m_state(SID_Auth),
      m_delay_scheduler(nullptr),
      m_grace_scheduler(nullptr),
      m_line_count(1),
      m_action_task(this),
      m_auth_task(this),
      m_fetch_task(this),
      m_flush_task(this),
      m_result_set(nullptr),
      m_query(Query::None),
      m_query_serial(0),
      m_query_begin(0),
      m_query_end(0),
      m_mirp_reports("MirpError", 3),
      m_query_reports("QryError", 3)
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

void KorvUserSubscriber::set_state(StateID state)
{
    m_state = state;
    m_counters.state.set(uint64_t(state));
}

void KorvUserSubscriber::post_action(StateID state)
{
    set_state(state);
    m_action_task.cancel();
    m_reactor->schedule(&m_action_task);
}

void KorvUserSubscriber::wait_action(StateID state)
{
    set_state(state);
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
    // A reply closed before its end (time-out, query again, failover) leaves
    // no part of itself in the book.
    if (m_snapshot_open)
        abort_snapshot();
    if (m_result_set == nullptr)
        return;
    // A reply that comes after this is the stub's to drop: nothing here
    // reads it any more, least of all as the answer to another query.
    m_fetch_task.cancel();
    m_result_set->close();
    m_result_set = nullptr;
    m_query = Query::None;
    ++m_query_serial;
}

bool KorvUserSubscriber::open_result_set(KorvMdqpResultSet* result_set, Query query)
{
    if (result_set == nullptr) {
        post_action(SID_Auth);
        return false;
    }
    m_result_set = result_set;
    m_query = query;
    ++m_query_serial;
    return true;
}

void KorvUserSubscriber::qry_topic_snap()
{
    close_result_set();
    if (!open_result_set(m_stub->req_qry_topic_snap(m_topic->get_topic_id()), Query::Snapshot))
        return;
    m_snapshot_start_ms = counter_clock_ms();
    m_snapshot_bytes = 0;
    m_counters.snapshot_queries.add();
    wait_fetch();
    wait_action(SID_QrySnap);
}

const MirpPacket* KorvUserSubscriber::next_cached_packet() const
{
    auto next = m_cached_packets.upper_bound(m_packet_line);
    return next == m_cached_packets.end() ? nullptr : &next->second->packet;
}

unsigned KorvUserSubscriber::topic_number() const
{
    return uint16_t(m_topic->get_topic_id());
}

void KorvUserSubscriber::set_packet_no(uint32_t packet_no)
{
    // A disputed number the book has passed needs its server copy no more.
    while (!m_disputed.empty() && serial_distance(*m_disputed.begin(), packet_no) >= 0)
        m_disputed.erase(m_disputed.begin());
    m_packet_line += serial_distance(m_packet_no, packet_no);
    m_packet_no = packet_no;
    m_counters.packet_no.set(packet_no);
    m_counters.packet_no_ms.set(counter_clock_ms());
}

int64_t KorvUserSubscriber::cache_key(uint32_t packet_no) const
{
    return m_packet_line + serial_distance(m_packet_no, packet_no);
}

bool KorvUserSubscriber::admit_refusal(const char* kind, uint32_t packet_no)
{
    return admit_refusal(m_mirp_reports, kind, packet_no);
}

bool KorvUserSubscriber::admit_refusal(ReportLimiter& reports, const char* kind, uint32_t packet_no)
{
    char sender[32];
    snprintf(sender, sizeof sender, "packet_no = %u", packet_no);
    return reports.admit(kind, sender);
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
    if (next != nullptr && serial_distance(next->packet_no(), m_gap_end) > 0)
        m_gap_end = next->packet_no();
    // The line brought what was missing by itself.
    if (serial_distance(begin, m_gap_end) <= 0) {
        close_result_set();
        post_action(SID_Flush);
        return;
    }
    // The same hole again. A reply that filled part of it is followed up at
    // once; but asking again what the server just did not have would only
    // repeat its answer: the line first shows whether it is stuck at the
    // hole. When it moved on in order meanwhile, the packet beyond the hole
    // is ahead of the line, not behind a loss (one forged datagram, or a
    // packet sent early), and not worth a query: the line reaches it, or
    // gets stuck and says so.
    if (m_hole_asked && m_hole_end == m_gap_end) {
        bool timed_out = m_result_set != nullptr;
        bool unserved = begin == m_gap_begin && !timed_out && !m_hole_waiting && !m_hole_stalled;
        if (m_line_moved || unserved) {
            if (m_line_moved)
                m_gap_retry = 0;
            m_line_moved = false;
            m_hole_waiting = true;
            m_hole_stalled = false;
            close_result_set();
            wait_action(SID_QryGap);
            return;
        }
    }
    m_hole_waiting = false;
    m_hole_stalled = false;
    if (begin == m_gap_begin) {
        ++m_gap_retry;
    } else {
        m_gap_begin = begin;
        m_gap_retry = 0;
    }
    // Replies that keep missing the first packet would have the subscriber
    // ask for it forever while the cache grows; a snapshot moves past it.
    if (m_gap_retry >= MAX_GAP_RETRY) {
        report_event(3, "GapError", "topic_id = %u, packets [%u, %u) not served, snapshot queried",
                     topic_number(), begin, m_gap_end);
        m_unserved_end = m_gap_end;
        m_unserved = true;
        m_gap_begin = 0;
        m_gap_retry = 0;
        m_hole_asked = false;
        close_result_set();
        wait_action(SID_QrySnap);
        return;
    }
    trace_printf("qry_topic_gap [%u, %u)\n", begin, m_gap_end);
    m_hole_asked = true;
    m_hole_end = m_gap_end;
    m_line_moved = false;
    close_result_set();
    if (!open_result_set(m_stub->req_qry_topic_gap(m_topic->get_topic_id(), begin, m_gap_end),
                         Query::Gap))
        return;
    m_query_begin = begin;
    m_query_end = m_gap_end;
    m_counters.gap_queries.add();
    wait_fetch();
    wait_action(SID_QryGap);
}

void KorvUserSubscriber::wait_fetch()
{
    if (m_result_set->schedule(&m_fetch_task) == EC_NONE)
        m_reactor->schedule(&m_fetch_task);
}

// Woken by each reply body as it comes. The query's time-out keeps running
// until the reply is whole: it is what ends a reply that stops coming.
void KorvUserSubscriber::on_fetch()
{
    // By the query the reply answers, not by the state: a state can outlive
    // its query, and a gap reply read as a snapshot would open one.
    if (m_query == Query::Snapshot)
        fetch_snapshot();
    else if (m_query == Query::Gap)
        fetch_gap();
}

// A snapshot is applied as its packets come, so the book of a large topic is
// built while the server still sends it. Until the reply is whole the book
// holds it as an open snapshot, which nothing commits or delivers: live
// packets are cached meanwhile.
//
// A snapshot read in part would go live as if whole: the packets it lacks
// would be missing from the book, and those it holds would be applied again
// from the multicast after a number that is not the snapshot's. So a reply
// that stops early (a packet refused, an empty packet before the last one,
// a time-out) or never says its packet number is refused whole and asked
// again, and what its records already changed is put back: the book and the
// snapshot number stay as they were before the reply.
void KorvUserSubscriber::fetch_snapshot()
{
    if (!m_snapshot_open) {
        m_snapshot_open = true;
        m_saved_snap_no = m_snap_no;
        m_snapshot_packet_known = false;
        m_snapshot_empty_read = false;
        m_topic->begin_snapshot();
    }
    uint64_t bytes = m_snapshot_bytes;
    SnapshotRead read = read_snapshot();
    if (read == SnapshotRead::More && m_snapshot_bytes != bytes) {
        // The reply is still coming: its time-out counts from its latest
        // packet, within the bound on the whole of it.
        uint64_t took = counter_clock_ms() - m_snapshot_start_ms;
        if (took <= SNAPSHOT_TIME_BASE + m_snapshot_bytes * 1000 / SNAPSHOT_MIN_RATE) {
            wait_action(SID_QrySnap);
        } else {
            report_event(3, "QryError",
                         "topic_id = %u, snapshot refused: %llu bytes in %llu ms, slower than "
                         "%llu bytes/s",
                         topic_number(), static_cast<unsigned long long>(m_snapshot_bytes),
                         static_cast<unsigned long long>(took),
                         static_cast<unsigned long long>(SNAPSHOT_MIN_RATE));
            read = SnapshotRead::Refused;
        }
    }
    if (read == SnapshotRead::More) {
        wait_fetch();
        return;
    }
    close_result_set();
    if (read == SnapshotRead::Whole)
        post_action(SID_Flush);
    else
        wait_action(SID_QrySnap);
}

void KorvUserSubscriber::abort_snapshot()
{
    m_snapshot_open = false;
    m_topic->abort_snapshot();
    m_snap_no = m_saved_snap_no;
}

KorvUserSubscriber::SnapshotRead KorvUserSubscriber::read_snapshot()
{
    PacketBufferExt<MDQP_PACKET_SIZE> buffer;
    buffer.reset(0);
    const char* fault = nullptr;
    int ret;
    while ((ret = m_result_set->read(buffer)) == EC_NONE) {
        if (buffer.length() == 0) {
            m_snapshot_empty_read = true;
            continue;
        }
        if (m_snapshot_empty_read) {
            fault = "an empty packet before its last";
            break;
        }
        m_snapshot_bytes += buffer.length();
        if (handle_rsp_qry_topic_snap(buffer) != 0)
            return SnapshotRead::Refused;
        buffer.reset(0);
    }
    if (ret == EC_WOULDBLOCK)
        return SnapshotRead::More;
    if (ret == EC_INSUF_BUFFER) {
        report_oversized(ret);
        return SnapshotRead::Refused;
    }
    if (fault == nullptr && !m_snapshot_packet_known)
        fault = "no packet number";
    if (fault != nullptr) {
        report_event(3, "QryError", "topic_id = %u, snapshot refused: %s", topic_number(), fault);
        return SnapshotRead::Refused;
    }
    m_snapshot_open = false;
    m_counters.snapshots.add();
    set_packet_no(m_snapshot_packet_no);
    // Cached packets the snapshot cannot explain go: those too far ahead of
    // it, and, when it does not even reach a gap no server could fill, those
    // from that gap's end on. Wrongly dropped, a packet is only fetched again.
    uint32_t end = m_packet_no + MAX_AHEAD + 1;
    if (m_unserved && serial_distance(m_packet_no + 1, m_unserved_end) > 0 &&
        serial_distance(m_unserved_end, end) > 0)
        end = m_unserved_end;
    m_unserved = false;
    m_hole_asked = false;
    m_line_moved = false;
    m_disputed.clear();
    for (AppliedDigest& digest : m_applied)
        digest.valid = false;
    trim_cache(end);
    m_topic->set_packet_no(m_packet_no);
    m_topic->commit();
    return SnapshotRead::Whole;
}

void KorvUserSubscriber::fetch_gap()
{
    PacketBufferExt<MDQP_PACKET_SIZE> buffer;
    buffer.reset(0);
    // A packet handed on may end the query (a snapshot queried instead):
    // the set is then gone, and so is the reason to read on.
    unsigned serial = m_query_serial;
    int ret;
    while ((ret = m_result_set->read(buffer)) == EC_NONE) {
        handle_rsp_qry_topic_gap(buffer);
        if (m_query_serial != serial)
            return;
        buffer.reset(0);
    }
    if (ret == EC_WOULDBLOCK) {
        wait_fetch();
        return;
    }
    report_oversized(ret);
    close_result_set();
    post_action(SID_Flush);
}

// A reply packet that does not fit the buffer ends the reading of its
// reply; what was read before it stands.
void KorvUserSubscriber::report_oversized(int read_result) const
{
    if (read_result == EC_INSUF_BUFFER)
        report_event(3, "QryError", "topic_id = %u, reply packet larger than %d bytes refused",
                     topic_number(), MDQP_PACKET_SIZE);
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
                // A success ahead of the records is no reason to skip them.
                if (info.ErrorID == 0)
                    break;
                report_event(3, "QryError", "%d %s", info.ErrorID,
                             KorvUserMdqpStub::printable(info.ErrorMsg).c_str());
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
                trace_printf("rsp qry topic snap no = %d\n", tag.SnapNo);
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
                m_snapshot_packet_no = uint32_t(packet_no.PacketNo);
                m_snapshot_packet_known = true;
                trace_printf("rsp qry topic packet no = %u\n", m_snapshot_packet_no);
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
    // A packet taken may end the query (a forged copy found applied): the
    // rest of the reply then answers nothing.
    unsigned serial = m_query_serial;
    for (FieldIterator field(packet.data(), int(packet.length()), 0);
         !field.is_end() && m_query_serial == serial; field.next()) {
        MirpPacket mirp(Packet(field.data(), field.size()));
        if (mirp.valid_packet() < 0)
            return;
        // Another topic's packet would be applied to this book by number,
        // and one outside the range asked for is no answer to the query:
        // taken, it could even pass for a stream that jumped.
        if (mirp.topic_id() != uint16_t(m_topic->get_topic_id())) {
            m_counters.refused_reply.add();
            if (admit_refusal(m_query_reports, "foreign topic", mirp.packet_no()))
                report_event(3, "QryError", "gap reply of topic %u carries a packet of topic %u",
                             topic_number(), unsigned(mirp.topic_id()));
            continue;
        }
        if (serial_distance(m_query_begin, mirp.packet_no()) < 0 ||
            serial_distance(mirp.packet_no(), m_query_end) <= 0) {
            m_counters.refused_reply.add();
            if (admit_refusal(m_query_reports, "out of range", mirp.packet_no()))
                report_event(3, "QryError",
                             "gap reply of topic %u carries packet_no = %u, asked for [%u, %u)",
                             topic_number(), mirp.packet_no(), m_query_begin, m_query_end);
            continue;
        }
        m_counters.reply_packets.add();
        if (take_packet(mirp, true))
            m_counters.recovered.add();
    }
}

void KorvUserSubscriber::handle_mirp_packet(const MirpPacket& packet)
{
    m_counters.packets.add();
    take_packet(packet, false);
}

bool KorvUserSubscriber::take_packet(const MirpPacket& packet, bool from_server)
{
    if (!from_server && refuse_far_ahead(packet))
        return false;
    uint32_t packet_no = packet.packet_no();
    int32_t distance = serial_distance(m_packet_no, packet_no);
    bool heartbeat = packet.type() == MIRP_TYPE_Heartbeat;
    if (!from_server && (distance == 1 || (distance == 0 && heartbeat)))
        line_moved();
    if (!heartbeat && check_copy(packet, from_server))
        return false;
    bool ahead = !heartbeat && distance > 0;
    int r;
    // While a backlog is being replayed, a packet further on goes in behind
    // it: taken now it would be seen as a gap over packets that are cached.
    if (m_state == SID_Live && !m_cached_packets.empty() && distance > 1)
        r = EC_WOULDBLOCK;
    else
        r = delivery_mirp_packet(packet, from_server);
    if (r == 0) {
        // The packet may have closed a hole in front of cached ones.
        const MirpPacket* next = next_cached_packet();
        if (next != nullptr && next->packet_no() == m_packet_no + 1 && !m_flush_task.in_queue())
            m_reactor->schedule(&m_flush_task);
        return ahead;
    }
    trace_printf(
        "KorvUserSubscriber::handle_mirp_packet topic_id = %u, packet_no =%u, type=%d "
        "length=%d, ret=%d\n",
        unsigned(packet.topic_id()), packet_no, int(packet.type()), int(packet.length()), r);
    if (r != EC_WOULDBLOCK || heartbeat || !cache_packet(packet, from_server))
        return false;
    if (m_state == SID_Live && !m_flush_task.in_queue())
        m_reactor->schedule(&m_flush_task);
    // A hole that was asked for and left open: a packet beyond it while the
    // line brings nothing in order says the line is stuck there, and one
    // nearer than the hole's end is a new hole. Either is asked for now.
    if (!from_server && m_state == SID_QryGap && m_hole_waiting) {
        bool nearer = serial_distance(packet_no, m_hole_end) > 0;
        if (nearer || !m_line_moved) {
            m_hole_stalled = !nearer;
            post_action(SID_QryGap);
        }
    }
    return true;
}

void KorvUserSubscriber::line_moved()
{
    m_line_moved = true;
    m_far_ahead_run = 0;
}

uint64_t KorvUserSubscriber::digest(const MirpPacket& packet)
{
    // What applying the packet reads: its type, flag, snapshot number and
    // time, and content. FNV-1a: cheap, and only ever compared with the
    // digest of another copy of the same number.
    const MirpHeader* header = packet.const_header();
    uint64_t hash = 14695981039346656037ULL;
    auto mix = [&hash](const void* data, size_t length) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < length; ++i) {
            hash ^= bytes[i];
            hash *= 1099511628211ULL;
        }
    };
    unsigned char flag = header->Flag;
    mix(&flag, 1);
    mix(&header->TransId, sizeof header->TransId);
    mix(&header->SnapNo, sizeof header->SnapNo);
    mix(&header->SnapSeconds, sizeof header->SnapSeconds);
    mix(&header->SnapMillisec, sizeof header->SnapMillisec);
    if (packet.length() > 0)
        mix(packet.data(), packet.length());
    return hash;
}

// Two copies of one number that differ: one is forged. The query server's
// copy is the one the book takes; of two multicast copies neither is, and
// the number waits for the server's. A copy already applied is known by
// its digest while the gap query that may bring the server's is open.
bool KorvUserSubscriber::check_copy(const MirpPacket& packet, bool from_server)
{
    uint32_t packet_no = packet.packet_no();
    int32_t distance = serial_distance(m_packet_no, packet_no);
    if (!from_server && m_disputed.count(packet_no) != 0) {
        m_counters.duplicates.add();
        return true;
    }
    if (distance <= 0) {
        AppliedDigest& applied = m_applied[packet_no % APPLIED_DIGESTS];
        if (!from_server || !applied.valid || applied.packet_no != packet_no)
            return false;
        applied.valid = false;
        if (applied.digest == digest(packet))
            return false;
        m_counters.copies_differ.add();
        m_counters.forged_applied.add();
        if (admit_refusal("forged copy applied", packet_no))
            report_event(3, "MirpError",
                         "topic_id = %u, packet_no = %u applied from the multicast differs from "
                         "the query server's copy, snapshot queried",
                         topic_number(), packet_no);
        m_gap_begin = 0;
        m_gap_retry = 0;
        m_hole_asked = false;
        close_result_set();
        post_action(SID_QrySnap);
        return true;
    }
    CachedPacket* held = find_cached(packet_no);
    if (held == nullptr || digest(held->packet) == digest(packet)) {
        if (held != nullptr && from_server)
            held->from_server = true;
        return false;
    }
    m_counters.copies_differ.add();
    if (admit_refusal("copies differ", packet_no))
        report_event(
            3, "MirpError", "topic_id = %u, two copies of packet_no = %u differ, the %s",
            topic_number(), packet_no,
            from_server || held->from_server ? "query server's taken" : "query server's awaited");
    if (held->from_server)
        return true;
    drop_cached(held);
    // The hole that waited for this packet ends elsewhere now: it is looked
    // at again rather than after the wait.
    if (m_hole_asked && m_hole_end == packet_no) {
        m_hole_asked = false;
        if (m_state == SID_QryGap && m_hole_waiting)
            post_action(SID_QryGap);
    }
    if (from_server)
        return false;
    if (m_disputed.size() < MAX_DISPUTED)
        m_disputed.insert(packet_no);
    return true;
}

KorvUserSubscriber::CachedPacket* KorvUserSubscriber::find_cached(uint32_t packet_no)
{
    auto found = m_cached_packets.find(cache_key(packet_no));
    return found == m_cached_packets.end() ? nullptr : found->second;
}

void KorvUserSubscriber::record_applied(const MirpPacket& packet)
{
    // Only a gap query still open can bring the server's copy of a packet
    // already applied.
    uint32_t packet_no = packet.packet_no();
    if (m_query != Query::Gap || serial_distance(m_query_begin, packet_no) < 0 ||
        serial_distance(packet_no, m_query_end) <= 0)
        return;
    m_applied[packet_no % APPLIED_DIGESTS] = AppliedDigest{packet_no, true, digest(packet)};
}

// A single stray datagram numbered far ahead would otherwise open a hole that
// no server can fill, and hold every later packet in the cache behind it
// through gap queries, a "GapError" and a snapshot, again and again. Before
// the book has a number, and while a snapshot is awaited, there is nothing
// to measure by: the snapshot trims the cache instead.
bool KorvUserSubscriber::refuse_far_ahead(const MirpPacket& packet)
{
    if (m_state == SID_Auth || m_state == SID_QrySnap)
        return false;
    uint32_t packet_no = packet.packet_no();
    int32_t distance = serial_distance(m_packet_no, packet_no);
    if (distance <= 0)
        return false;
    if (uint32_t(distance) <= MAX_AHEAD) {
        m_far_ahead_run = 0;
        return false;
    }
    m_counters.refused_far_ahead.add();
    if (admit_refusal("far ahead", packet_no))
        report_event(3, "MirpError",
                     "topic_id = %u, packet_no = %u refused: more than %u ahead of packet_no = %u",
                     topic_number(), packet_no, MAX_AHEAD, m_packet_no);
    // A stream that did jump keeps sending such packets, and only a snapshot
    // can take the book there.
    uint64_t now = counter_clock_ms();
    if (m_far_ahead_run == 0) {
        m_far_ahead_run = 1;
        m_far_ahead_first_ms = now;
        m_far_ahead_last_ms = now;
    } else if (now != m_far_ahead_last_ms) {
        ++m_far_ahead_run;
        m_far_ahead_last_ms = now;
    }
    if (m_far_ahead_run >= MAX_FAR_AHEAD_RUN && now - m_far_ahead_first_ms >= FAR_AHEAD_TIME) {
        report_event(3, "MirpError",
                     "topic_id = %u, packets far ahead of packet_no = %u arrived %d times in "
                     "%llu ms, none in reach: snapshot queried",
                     topic_number(), m_packet_no, m_far_ahead_run,
                     static_cast<unsigned long long>(now - m_far_ahead_first_ms));
        m_far_ahead_run = 0;
        m_gap_begin = 0;
        m_gap_retry = 0;
        m_hole_asked = false;
        close_result_set();
        post_action(SID_QrySnap);
    }
    return true;
}

bool KorvUserSubscriber::in_order(uint32_t packet_no) const
{
    // A gap query or a replay under way leaves the book whole up to its
    // number: the next packet is applied, not held behind the hole.
    return (m_state == SID_Live || m_state == SID_Flush || m_state == SID_QryGap) &&
           serial_distance(m_packet_no, packet_no) == 1;
}

int KorvUserSubscriber::delivery_mirp_packet(const MirpPacket& packet, bool from_server)
{
    uint32_t packet_no = packet.packet_no();
    int32_t distance = serial_distance(m_packet_no, packet_no);
    if (m_state != SID_Live && !in_order(packet_no) &&
        !(distance <= 0 && (m_state == SID_Flush || m_state == SID_QryGap)))
        return EC_WOULDBLOCK;
    if (distance <= 0) {
        // A heartbeat repeats the number of the last packet sent.
        if (packet.type() != MIRP_TYPE_Heartbeat)
            m_counters.duplicates.add();
        return EC_NONE;
    }
    if (distance > 1) {
        m_counters.gaps.add();
        m_gap_end = packet_no;
        if (m_line_count > 1) {
            set_state(SID_QryGap);
            m_action_task.cancel();
            m_grace_scheduler->schedule(&m_action_task);
        } else {
            post_action(SID_QryGap);
        }
        return EC_WOULDBLOCK;
    }
    if (packet.type() == MIRP_TYPE_Heartbeat)
        return EC_NONE;
    m_counters.applied.add();
    if (!from_server)
        record_applied(packet);
    // A packet of a type this receiver does not know still takes its number:
    // left in place it would open a gap that no reply could close.
    if (packet.type() == MIRP_TYPE_MarketEvent) {
        apply_market_event(packet);
        if ((packet.flag() & MIRP_FLAG_CONTINUE) == 0) {
            ++m_snap_no;
            m_topic->set_packet_no(packet_no);
            m_topic->commit();
        }
    }
    set_packet_no(m_packet_no + 1);
    return EC_NONE;
}

// A packet that cannot be deciphered or decoded is reported and counts as
// taken: asking for it again would bring the same bytes. A sender of such
// packets gets the first of each kind reported in full, then a count.
void KorvUserSubscriber::apply_market_event(const MirpPacket& packet)
{
    unsigned topic_id = topic_number();
    if (m_cipher == nullptr) {
        m_counters.refused_no_cipher.add();
        if (!m_cipher_reported)
            report_event(3, "MirpError",
                         "topic_id = %u, no cipher for the topic: market events dropped from "
                         "packet_no = %u on",
                         topic_id, packet.packet_no());
        m_cipher_reported = true;
        return;
    }
    if (packet.length() > static_cast<unsigned long>(MIRP_CONTENT_SIZE)) {
        m_counters.refused_content.add();
        if (admit_refusal("content", packet.packet_no()))
            report_event(3, "MirpError",
                         "topic_id = %u, packet_no = %u dropped: content of %lu bytes", topic_id,
                         packet.packet_no(), packet.length());
        return;
    }
    unsigned char content[MIRP_CONTENT_SIZE];
    unsigned long length = sizeof content;
    int ret = m_cipher->decrypt(reinterpret_cast<const unsigned char*>(packet.data()),
                                packet.length(), content, length);
    if (ret != EC_NONE || length > sizeof content) {
        m_counters.refused_decrypt.add();
        if (admit_refusal("decrypt", packet.packet_no()))
            report_event(3, "MirpError", "topic_id = %u, packet_no = %u dropped: decrypt %d",
                         topic_id, packet.packet_no(), ret);
        return;
    }
    const MirpHeader* header = packet.const_header();
    m_topic->set_snap_no(header->SnapNo);
    m_topic->set_snap_time(header->SnapSeconds, header->SnapMillisec);
    Packet body(reinterpret_cast<const char*>(content), int(length));
    ret = parse_snap_events(body, m_topic);
    if (ret != EC_NONE)
        m_counters.refused_events.add();
    if (ret != EC_NONE && admit_refusal("events", packet.packet_no()))
        report_event(3, "MirpError", "topic_id = %u, packet_no = %u: events cut short, %d",
                     topic_id, packet.packet_no(), ret);
}

void KorvUserSubscriber::on_flush()
{
    // Only a subscriber with a whole book replays: live, or with a hole
    // further on asked for. The action task may hold a pending query or
    // wait, which must survive this run.
    if (m_state != SID_Live && m_state != SID_Flush && m_state != SID_QryGap)
        return;
    for (int i = 0; i < MAX_GAP && !m_cached_packets.empty(); ++i) {
        const CachedPacket* lowest = m_cached_packets.begin()->second;
        if (delivery_mirp_packet(lowest->packet, lowest->from_server) != 0)
            return;
        pop_cached_packet();
    }
    if (!m_cached_packets.empty())
        m_reactor->schedule(&m_flush_task);
}

bool KorvUserSubscriber::cache_packet(const MirpPacket& packet, bool from_server)
{
    uint32_t packet_no = packet.packet_no();
    int64_t key = cache_key(packet_no);
    if (m_cached_packets.count(key) != 0) {
        m_counters.duplicates.add();
        return false;
    }
    unsigned long length = packet.length();
    if (m_cached_packets.size() >= MAX_CACHED_PACKETS ||
        length > MAX_CACHED_BYTES - m_cached_bytes) {
        if (!m_cache_full_reported)
            report_event(3, "MirpError",
                         "topic_id = %u, cache full at %zu packets of %lu bytes: packet_no = %u "
                         "refused",
                         topic_number(), m_cached_packets.size(), m_cached_bytes, packet_no);
        m_cache_full_reported = true;
        m_counters.refused_cache_full.add();
        return false;
    }
    m_cached_packets[key] = hold_packet(packet, key, from_server);
    m_cached_bytes += length;
    m_counters.cache_depth.set(m_cached_packets.size());
    return true;
}

KorvUserSubscriber::CachedPacket* KorvUserSubscriber::hold_packet(const MirpPacket& packet,
                                                                  int64_t key, bool from_server)
{
    m_packet_queue.push_back(CachedPacket{packet, false, key, from_server});
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
    if (!m_cached_packets.empty())
        drop_cached(m_cached_packets.begin()->second);
}

void KorvUserSubscriber::drop_cached(CachedPacket* cached)
{
    cached->consumed = true;
    m_cached_bytes -= cached->packet.length();
    m_cached_packets.erase(cached->key);
    m_counters.cache_depth.set(m_cached_packets.size());
    if (m_cached_packets.empty())
        m_cache_full_reported = false;
    release_consumed();
}

void KorvUserSubscriber::release_consumed()
{
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
        m_cached_packets[front.key] = hold_packet(front.packet, front.key, front.from_server);
        front.consumed = true;
    }
}

void KorvUserSubscriber::trim_cache(uint32_t end)
{
    std::map<int64_t, CachedPacket*> kept;
    int32_t reach = serial_distance(m_packet_no, end);
    size_t beyond = 0;
    uint32_t first_beyond = 0;
    for (const auto& entry : m_cached_packets) {
        CachedPacket* cached = entry.second;
        uint32_t packet_no = cached->packet.packet_no();
        int32_t distance = serial_distance(m_packet_no, packet_no);
        if (distance > 0 && distance < reach) {
            cached->key = cache_key(packet_no);
            kept.emplace(cached->key, cached);
            continue;
        }
        if (distance > 0 && beyond++ == 0)
            first_beyond = packet_no;
        cached->consumed = true;
        m_cached_bytes -= cached->packet.length();
    }
    m_cached_packets.swap(kept);
    m_counters.cache_depth.set(m_cached_packets.size());
    m_counters.refused_by_snapshot.add(beyond);
    if (m_cached_packets.empty())
        m_cache_full_reported = false;
    if (beyond > 0 && admit_refusal("far ahead", first_beyond))
        report_event(3, "MirpError",
                     "topic_id = %u, %zu cached packets from packet_no = %u dropped: not "
                     "explained by the snapshot at packet_no = %u",
                     topic_number(), beyond, first_beyond, m_packet_no);
    release_consumed();
}

}  // namespace USER
}  // namespace KORV
