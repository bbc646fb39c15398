#include "source/korv_user/KorvUserTopic.h"

#include <cstring>
#include <ctime>

#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"

namespace KORV {
namespace USER {

using namespace BRAX::KORV;

namespace {

// Text fields of the snapshot are fixed-width and should carry their own
// terminator; a record without one must not make readers run past the field.
template <size_t N>
void terminate_text(char (&field)[N])
{
    field[N - 1] = '\0';
}

}  // namespace

KorvUserTopic::KorvUserTopic(int16_t topic_id)
    : m_topic_id(topic_id),
      m_snap_no(0),
      m_packet_no(0),
      m_market_data_depth(0),
      m_settlement_session(),
      m_snap_time(),
      m_instrument_map(53),
      m_rejected_count(0),
      m_snapshot_serial(0),
      m_formatted_seconds(-1),
      m_snapshot_open(false),
      m_saved()
{
}

KorvUserTopic::~KorvUserTopic()
{
    for (InstrumentMarketData* entry : m_market_data_table)
        delete entry;
}

int KorvUserTopic::schedule(Task* task)
{
    if (!m_updated_list.empty())
        return EC_NONE;
    m_wait_queue.push_back(task);
    return EC_WOULDBLOCK;
}

// Called for every packet, and a line's packets mostly change the second:
// localtime_r and strftime cost about as much as decoding the packet. Within
// the minute formatted last only the seconds move, since every zone's offset
// is a whole number of minutes and changes only on a minute; so the date,
// hour and minute are kept and the two second digits written.
void KorvUserTopic::set_snap_time(unsigned seconds, unsigned millisec)
{
    m_snap_time.SnapMillisec = int(millisec);
    if (int64_t(seconds) == m_formatted_seconds)
        return;
    bool same_minute =
        m_formatted_seconds >= 0 && int64_t(seconds / 60) == m_formatted_seconds / 60;
    m_formatted_seconds = int64_t(seconds);
    if (same_minute && m_snap_time.SnapTime[0] != '\0') {
        m_snap_time.SnapTime[6] = char('0' + seconds % 60 / 10);
        m_snap_time.SnapTime[7] = char('0' + seconds % 10);
        return;
    }
    time_t t = time_t(seconds);
    struct tm local;
    if (localtime_r(&t, &local) == nullptr) {
        m_snap_time.SnapDate[0] = '\0';
        m_snap_time.SnapTime[0] = '\0';
    } else {
        strftime(m_snap_time.SnapDate, sizeof(m_snap_time.SnapDate), "%Y%m%d", &local);
        strftime(m_snap_time.SnapTime, sizeof(m_snap_time.SnapTime), "%H:%M:%S", &local);
    }
}

void KorvUserTopic::handle_settlement_session(const MDQP_TopicSettlementSession* session)
{
    copy_text(m_settlement_session.SessionDay, session->SessionDay);
    copy_text(m_settlement_session.SessionCode, session->SessionCode);
    m_settlement_session.SessionNo = session->SessionNo;
}

void KorvUserTopic::handle_snap_time(const MDQP_TopicSnapTime* snap_time)
{
    static_assert(sizeof(m_snap_time.SnapDate) == sizeof(snap_time->SnapDate) &&
                      sizeof(m_snap_time.SnapTime) == sizeof(snap_time->SnapTime),
                  "snapshot time fields differ from the public record");
    memcpy(m_snap_time.SnapDate, snap_time->SnapDate, sizeof(m_snap_time.SnapDate));
    memcpy(m_snap_time.SnapTime, snap_time->SnapTime, sizeof(m_snap_time.SnapTime));
    m_snap_time.SnapMillisec = snap_time->SnapMillisec;
    m_formatted_seconds = -1;
    // The handler gets this record itself and reads its texts as C strings.
    terminate_text(m_snap_time.SnapDate);
    terminate_text(m_snap_time.SnapTime);
}

void KorvUserTopic::handle_instrument(const MDQP_TopicInstrument* instrument)
{
    int no = instrument->InstrumentNo;
    if (no < 0 || no >= MAX_INSTRUMENT_COUNT) {
        reject("instrument", no, 0);
        return;
    }
    while (no >= int(m_market_data_table.size()))
        m_market_data_table.push_back(new InstrumentMarketData(int(m_market_data_table.size())));
    InstrumentMarketData* entry = m_market_data_table[no];
    enter_snapshot(entry);
    char previous_id[sizeof entry->Instrument.InstrumentID];
    memcpy(previous_id, entry->Instrument.InstrumentID, sizeof previous_id);
    entry->Instrument = *instrument;
    // The id is the map's key and is hashed and copied as a C string.
    terminate_text(entry->Instrument.InstrumentID);
    // Every snapshot defines the instruments again, and the map keeps every
    // insert: keyed again under the same id, it would grow by the whole
    // topic with each snapshot.
    if (entry->Keyed && strcmp(previous_id, entry->Instrument.InstrumentID) == 0)
        return;
    m_instrument_map.insert(entry->Instrument.InstrumentID, entry);
    entry->Keyed = true;
}

void KorvUserTopic::handle_market_data(const MDQP_TopicMarketData* market_data)
{
    InstrumentMarketData* entry = find_entry("market_data", market_data->InstrumentNo);
    if (entry == nullptr)
        return;
    enter_snapshot(entry);
    entry->MarketData = *market_data;
    terminate_text(entry->MarketData.UpdateDate);
    terminate_text(entry->MarketData.UpdateTime);
    // The record brings its own update time: register without stamping.
    if (entry->empty())
        m_updated_list.push_back(entry);
}

void KorvUserTopic::handle_market_by_price(const MDQP_TopicMarketByPrice* level)
{
    InstrumentMarketData* entry = find_entry("market_by_price", level->InstrumentNo);
    if (entry == nullptr)
        return;
    enter_snapshot(entry);
    PriceEntryTable& side = level->EntryType == MDET_Bid ? entry->BidTable : entry->AskTable;
    check_level(side.append(PriceEntry{level->Price, level->Volume}), "market_by_price",
                level->InstrumentNo, side.get_count() + 1);
    reg_market_data(entry);
}

void KorvUserTopic::handle_daily_price(int no, const MIRP_HighPrice* price)
{
    set_daily_price(no, &MDQP_TopicMarketData::HighPrice, price->PriceOffset);
}

void KorvUserTopic::handle_daily_price(int no, const MIRP_LowPrice* price)
{
    set_daily_price(no, &MDQP_TopicMarketData::LowPrice, price->PriceOffset);
}

void KorvUserTopic::handle_daily_price(int no, const MIRP_OpenPrice* price)
{
    set_daily_price(no, &MDQP_TopicMarketData::OpenPrice, price->PriceOffset);
}

void KorvUserTopic::handle_daily_price(int no, const MIRP_ClosePrice* price)
{
    set_daily_price(no, &MDQP_TopicMarketData::ClosePrice, price->PriceOffset);
}

void KorvUserTopic::handle_daily_price(int no, const MIRP_UpperLimitPrice* price)
{
    set_daily_price(no, &MDQP_TopicMarketData::UpperLimitPrice, price->PriceOffset);
}

void KorvUserTopic::handle_daily_price(int no, const MIRP_LowerLimitPrice* price)
{
    set_daily_price(no, &MDQP_TopicMarketData::LowerLimitPrice, price->PriceOffset);
}

void KorvUserTopic::handle_daily_price(int no, const MIRP_SettlementPrice* price)
{
    set_daily_price(no, &MDQP_TopicMarketData::SettlementPrice, price->PriceOffset);
}

void KorvUserTopic::handle_delta(int no, const MIRP_Delta* delta)
{
    InstrumentMarketData* entry = find_entry("delta", no);
    if (entry == nullptr)
        return;
    entry->MarketData.Delta = delta->Delta;
    reg_market_data(entry);
}

void KorvUserTopic::begin_snapshot()
{
    ++m_snapshot_serial;
    m_saved_entries.clear();
    m_snapshot_open = true;
    m_saved.SettlementSession = m_settlement_session;
    m_saved.SnapTime = m_snap_time;
    m_saved.FormattedSeconds = m_formatted_seconds;
    m_saved.SnapNo = m_snap_no;
    m_saved.MarketDataDepth = m_market_data_depth;
    m_saved.InstrumentCount = m_market_data_table.size();
    m_saved.KeyCount = m_instrument_map.size();
    // A snapshot names every instrument of the topic: one allocation.
    m_saved_entries.reserve(m_saved.InstrumentCount);
}

void KorvUserTopic::abort_snapshot()
{
    if (!m_snapshot_open)
        return;
    for (const SavedEntry& saved : m_saved_entries) {
        InstrumentMarketData* entry = saved.Entry;
        entry->Instrument = saved.Instrument;
        entry->MarketData = saved.MarketData;
        entry->BidTable = saved.BidTable;
        entry->AskTable = saved.AskTable;
        entry->SnapshotSerial = saved.SnapshotSerial;
        entry->Keyed = saved.Keyed;
        // Registered before, it kept its place: only the snapshot's own
        // registrations go.
        if (!saved.Registered)
            entry->detach();
    }
    // Instruments the snapshot defined first; their destructor unregisters.
    while (m_market_data_table.size() > m_saved.InstrumentCount) {
        delete m_market_data_table.back();
        m_market_data_table.pop_back();
    }
    // The map only grows, so an unchanged size means no key was entered;
    // otherwise it is built again from the entries as they are now.
    if (m_instrument_map.size() != m_saved.KeyCount) {
        m_instrument_map.clear();
        for (InstrumentMarketData* entry : m_market_data_table) {
            if (entry->Keyed)
                m_instrument_map.insert(entry->Instrument.InstrumentID, entry);
        }
    }
    m_settlement_session = m_saved.SettlementSession;
    m_snap_time = m_saved.SnapTime;
    m_formatted_seconds = m_saved.FormattedSeconds;
    m_snap_no = m_saved.SnapNo;
    m_market_data_depth = m_saved.MarketDataDepth;
    close_snapshot();
}

void KorvUserTopic::close_snapshot()
{
    m_snapshot_open = false;
    // A whole topic's worth of copies: give the memory back.
    std::vector<SavedEntry>().swap(m_saved_entries);
}

void KorvUserTopic::commit()
{
    if (m_snapshot_open)
        close_snapshot();
    for (ListNode* node = m_updated_list.head(); node != &m_updated_list; node = node->m_next) {
        InstrumentMarketData* entry = static_cast<InstrumentMarketData*>(node);
        entry->BidTable.truncate(m_market_data_depth);
        entry->AskTable.truncate(m_market_data_depth);
    }
    m_wait_queue.emit_all();
}

int KorvUserTopic::fetch_updated(ListHead& out)
{
    if (m_updated_list.empty())
        return EC_WOULDBLOCK;
    out.splice(&m_updated_list);
    m_updated_list.init();
    return EC_NONE;
}

const KorvUserTopic::InstrumentMarketData* KorvUserTopic::get_instrument(int no) const
{
    if (no < 0 || no >= int(m_market_data_table.size()))
        return nullptr;
    return m_market_data_table[no];
}

void KorvUserTopic::enter_snapshot(InstrumentMarketData* entry)
{
    if (entry->SnapshotSerial == m_snapshot_serial)
        return;
    if (m_snapshot_open && size_t(entry->InstrumentNo) < m_saved.InstrumentCount)
        m_saved_entries.push_back(SavedEntry{entry, entry->Instrument, entry->MarketData,
                                             entry->BidTable, entry->AskTable,
                                             entry->SnapshotSerial, entry->Keyed, !entry->empty()});
    entry->SnapshotSerial = m_snapshot_serial;
    bool had_levels = entry->BidTable.get_count() > 0 || entry->AskTable.get_count() > 0;
    entry->BidTable.truncate(0);
    entry->AskTable.truncate(0);
    // The application still shows the levels just cleared, and the snapshot
    // may name none of them again.
    if (had_levels)
        reg_market_data(entry);
}

void KorvUserTopic::stamp_and_register(InstrumentMarketData* entry)
{
    static_assert(sizeof(entry->MarketData.UpdateDate) == sizeof(m_snap_time.SnapDate) &&
                      sizeof(entry->MarketData.UpdateTime) == sizeof(m_snap_time.SnapTime),
                  "update time fields differ from the snapshot time");
    memcpy(entry->MarketData.UpdateDate, m_snap_time.SnapDate, sizeof(m_snap_time.SnapDate));
    memcpy(entry->MarketData.UpdateTime, m_snap_time.SnapTime, sizeof(m_snap_time.SnapTime));
    entry->MarketData.UpdateMillisec = m_snap_time.SnapMillisec;
    m_updated_list.push_back(entry);
}

void KorvUserTopic::set_daily_price(int no, double MDQP_TopicMarketData::*field, int32_t offset)
{
    InstrumentMarketData* entry = find_entry("daily_price", no);
    if (entry == nullptr)
        return;
    entry->MarketData.*field =
        tick_price(offset, entry->Instrument.PriceTick, entry->Instrument.TradeBasePrice);
    reg_market_data(entry);
}

void KorvUserTopic::reject(const char* what, int no, int level)
{
    ++m_rejected_count;
    // Topic ids are unsigned 16-bit numbers on the wire.
    report_event(3, "TopicError", "topic_id = %u, %s refused, instrument_no = %d, level = %d",
                 unsigned(uint16_t(m_topic_id)), what, no, level);
}

}  // namespace USER
}  // namespace KORV
