// Internal: the in-memory book of one subscribed topic and the price level
// tables of its instruments.
//
// The subscribers fill the book from the snapshot and then apply the decoded
// multicast events to it; the notifier waits on it as a TaskScheduler and
// takes the changed instruments after each commit. Everything runs on the
// reactor thread of the topic; nothing here locks.
//
// A change registers its instrument: the entry is stamped with the topic's
// current time and appended to the updated list, unless it is already there,
// so each instrument keeps the time and the place of its first change within
// a delivery cycle. The notifier unregisters an entry by detaching it.
//
// Instrument numbers and level positions come from the network. Anything
// that names an instrument outside the table, or a level edit the side
// cannot take, is refused: counted, reported as the "TopicError" event
// (within the bounds of a ReportLimiter), and otherwise ignored.
//
// A snapshot replaces what an earlier one left: begin_snapshot() opens a new
// one, and the first snapshot record that names an instrument clears its
// levels, whatever order the records come in; an instrument that had levels
// is registered then, so that their removal is delivered even when the
// snapshot names none of them again. Instruments the snapshot does not name
// keep theirs.
//
// A snapshot ends with commit(), which keeps it, or abort_snapshot(), which
// puts back what begin_snapshot() found: the topic's session, time, snapshot
// number and depth, and every instrument a snapshot record touched (its
// definition, market data, levels and registration; instruments the
// snapshot defined first are removed). To that end the first record that
// touches an instrument copies it (about 1 KiB each, freed at the end of the
// snapshot). Only snapshot records may come in between: a multicast event
// applied inside an open snapshot is not put back. A begin_snapshot() while
// one is open keeps what the open one changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "source/korv_user/HashMap.h"
#include "source/korv_user/KorvUserApiStruct.h"
#include "source/korv_user/UFDataType.h"
#include "source/mdqp_protocol/KorvProtocolConstants.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpEventRecords.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/ReportLimiter.h"
#include "velta/source/task/ListHead.h"
#include "velta/source/task/TaskQueue.h"
#include "velta/source/task/TaskScheduler.h"

namespace KORV {
namespace USER {

// Copies a fixed-width text field as a C string: at most N - 1 characters
// of src, stopping at its terminator if it has one, and terminates dst.
template <size_t N, size_t M>
void copy_text(char (&dst)[N], const char (&src)[M])
{
    size_t n = 0;
    while (n < N - 1 && n < M && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
}

// A price sent as a number of ticks from a base price.
inline double tick_price(int32_t offset, double tick, double base)
{
    return double(offset) * tick + base;
}

// A sum the snapshot sent as absent has nothing to add to: the first change
// starts it from zero (added to the absent marker, it would stay absent).
inline double add_to(double sum, double change)
{
    using BRAX::KORV_USER_API::UFBaseFloatType;
    return (sum == UFBaseFloatType::NULL_VALUE ? 0 : sum) + change;
}

// Price levels kept per side of an instrument.
constexpr int MAX_LEVEL = 20;

// One price level, already scaled to a real price.
struct PriceEntry {
    double Price;
    int Volume;
};

// The levels of one side of one instrument, in level order: index 0 is level
// 1. Fixed storage, no allocation; entries at index >= get_count() are stale.
//
// Positions come straight off the wire, so every edit checks them: a call
// that would leave the level order or the array returns EC_OUT_OF_BOUNDS and
// changes nothing (a full side still takes an insert, see insert()). The
// caller decides how to report it.
class PriceEntryTable {
public:
    PriceEntryTable() : m_count(0) {}

    // Inline: one of these runs for every level event.
    int append(const PriceEntry& entry)
    {
        if (m_count >= MAX_LEVEL)
            return EC_OUT_OF_BOUNDS;
        m_entries[m_count++] = entry;
        return EC_NONE;
    }
    // Shifts pos... up by one; pos == get_count() appends. On a full side
    // the last level falls off: the publisher trims its own side to the
    // depth only after the packet, so a new level ahead of a full side is
    // one the book must keep. Position MAX_LEVEL has no room at all.
    int insert(int pos, const PriceEntry& entry)
    {
        if (pos < 0 || pos > m_count || pos >= MAX_LEVEL)
            return EC_OUT_OF_BOUNDS;
        // The highest index that takes a level.
        int top = m_count < MAX_LEVEL ? m_count++ : MAX_LEVEL - 1;
        for (int i = top; i > pos; --i)
            m_entries[i] = m_entries[i - 1];
        m_entries[pos] = entry;
        return EC_NONE;
    }
    int update(int pos, const PriceEntry& entry)
    {
        // The last bound always holds, as in erase().
        if (pos < 0 || pos >= m_count || pos >= MAX_LEVEL)
            return EC_OUT_OF_BOUNDS;
        m_entries[pos] = entry;
        return EC_NONE;
    }
    // Shifts pos+1... down by one; the vacated last slot keeps its old value.
    int erase(int pos)
    {
        if (pos < 0 || pos >= m_count)
            return EC_OUT_OF_BOUNDS;
        --m_count;
        // The second bound always holds (m_count never passes MAX_LEVEL); it
        // lets the compiler see that the copy stays inside the array.
        for (int i = pos; i < m_count && i + 1 < MAX_LEVEL; ++i)
            m_entries[i] = m_entries[i + 1];
        return EC_NONE;
    }
    // Cuts the side back to at most n levels by count alone; never grows it.
    // A negative n empties the side.
    void truncate(int n)
    {
        if (n < 0)
            n = 0;
        if (m_count > n)
            m_count = n;
    }

    const PriceEntry* get_entries() const { return m_entries; }
    int get_count() const { return m_count; }

private:
    PriceEntry m_entries[MAX_LEVEL];
    int m_count;
};

// Instrument numbers are dense indexes into the topic's table, and the table
// grows to the highest number defined. A topic carries up to some hundred
// thousand instruments; the cap keeps a hostile number from making the book
// allocate without limit (each entry is about 1 KiB, so at most 128 MiB).
constexpr int MAX_INSTRUMENT_COUNT = 131072;

class KorvUserTopic : public TaskScheduler {
public:
    typedef BRAX::KORV::MDQP_TopicInstrument MDQP_TopicInstrument;
    typedef BRAX::KORV::MDQP_TopicMarketData MDQP_TopicMarketData;

    // One instrument; linked into the updated list while registered.
    struct InstrumentMarketData : ListNode {
        explicit InstrumentMarketData(int no)
            : InstrumentNo(no), Instrument(), MarketData(), SnapshotSerial(0), Keyed(false)
        {
        }
        ~InstrumentMarketData() { detach(); }

        int InstrumentNo;
        MDQP_TopicInstrument Instrument;
        MDQP_TopicMarketData MarketData;
        PriceEntryTable BidTable;
        PriceEntryTable AskTable;
        // The snapshot that last cleared the levels.
        uint32_t SnapshotSerial;
        // Entered in the instrument map under its current id.
        bool Keyed;
    };

    explicit KorvUserTopic(int16_t topic_id);
    KorvUserTopic(const KorvUserTopic&) = delete;
    KorvUserTopic& operator=(const KorvUserTopic&) = delete;

    // 0 when updates are pending (the task is not queued); otherwise the
    // task waits for the next commit and -1 is returned.
    int schedule(Task* task) override;
    ~KorvUserTopic() override;

    int16_t get_topic_id() const { return m_topic_id; }
    int32_t get_snap_no() const { return m_snap_no; }
    const BRAX::KORV_USER_API::TopicSettlementSession* get_settlement_session() const
    {
        return &m_settlement_session;
    }
    const BRAX::KORV_USER_API::TopicSnapTime* get_snap_time() const { return &m_snap_time; }

    void set_market_data_depth(int depth) { m_market_data_depth = depth; }
    void set_snap_no(const int& snap_no) { m_snap_no = snap_no; }
    // The packet number the next commit() delivers at: the last packet of
    // the sequence it ends, or the snapshot's number for a snapshot. Set by
    // the subscriber that commits; the notifier hands it to the handler.
    void set_packet_no(uint32_t packet_no) { m_packet_no = packet_no; }
    uint32_t get_packet_no() const { return m_packet_no; }
    // Local date and time of seconds since the epoch become the topic's time.
    void set_snap_time(unsigned seconds, unsigned millisec);

    // Snapshot records. Each snapshot starts with begin_snapshot() and ends
    // with commit() or abort_snapshot() (see the file comment).
    void begin_snapshot();
    // Without an open snapshot, does nothing. Wakes no task.
    void abort_snapshot();
    void handle_settlement_session(const BRAX::KORV::MDQP_TopicSettlementSession* session);
    void handle_snap_time(const BRAX::KORV::MDQP_TopicSnapTime* snap_time);
    void handle_instrument(const MDQP_TopicInstrument* instrument);
    void handle_market_data(const MDQP_TopicMarketData* market_data);
    void handle_market_by_price(const BRAX::KORV::MDQP_TopicMarketByPrice* level);

    // Multicast events of instrument number no.
    void handle_md_entry_event(int no, const BRAX::KORV::MIRP_MDEntryEvent* event)
    {
        handle_md_entry_event(find_instrument(no), no, event);
    }
    void handle_trade_slice(int no, const BRAX::KORV::MIRP_TradeSlice* slice)
    {
        handle_trade_slice(find_instrument(no), no, slice);
    }
    // The same for the entry of instrument number no as find_instrument()
    // gave it: a parser looks the entry up once for a group of events of one
    // instrument. A null entry refuses the event.
    void handle_md_entry_event(InstrumentMarketData* entry, int no,
                               const BRAX::KORV::MIRP_MDEntryEvent* event);
    void handle_trade_slice(InstrumentMarketData* entry, int no,
                            const BRAX::KORV::MIRP_TradeSlice* slice);
    void handle_daily_price(int no, const BRAX::KORV::MIRP_HighPrice* price);
    void handle_daily_price(int no, const BRAX::KORV::MIRP_LowPrice* price);
    void handle_daily_price(int no, const BRAX::KORV::MIRP_OpenPrice* price);
    void handle_daily_price(int no, const BRAX::KORV::MIRP_ClosePrice* price);
    void handle_daily_price(int no, const BRAX::KORV::MIRP_UpperLimitPrice* price);
    void handle_daily_price(int no, const BRAX::KORV::MIRP_LowerLimitPrice* price);
    void handle_daily_price(int no, const BRAX::KORV::MIRP_SettlementPrice* price);
    void handle_delta(int no, const BRAX::KORV::MIRP_Delta* delta);

    // Ends a batch, and an open snapshot keeping its changes: cuts every
    // registered instrument to the market data depth and wakes the waiting
    // tasks on this thread.
    void commit();
    // Moves the registered entries, in order of first change, to the front
    // of out; -1 (out untouched) when there are none.
    int fetch_updated(ListHead& out);

    // The entry of instrument number no, or null outside the table.
    const InstrumentMarketData* get_instrument(int no) const;
    InstrumentMarketData* find_instrument(int no)
    {
        if (no < 0 || no >= int(m_market_data_table.size()))
            return nullptr;
        return m_market_data_table[size_t(no)];
    }
    int get_instrument_count() const { return int(m_market_data_table.size()); }
    // Entries of the map from instrument id to instrument.
    unsigned get_instrument_key_count() const { return m_instrument_map.size(); }
    // Inputs refused since construction (see the file comment).
    unsigned get_rejected_count() const { return m_rejected_count; }

private:
    // Inline fast paths: every event goes through them.
    InstrumentMarketData* find_entry(const char* what, int no)
    {
        InstrumentMarketData* entry = find_instrument(no);
        if (entry == nullptr)
            reject(what, no, 0);
        return entry;
    }
    void enter_snapshot(InstrumentMarketData* entry);
    void close_snapshot();
    void reg_market_data(InstrumentMarketData* entry)
    {
        if (entry->empty())
            stamp_and_register(entry);
    }
    void stamp_and_register(InstrumentMarketData* entry);
    void set_daily_price(int no, double MDQP_TopicMarketData::*field, int32_t offset);
    void check_level(int result, const char* what, int no, int level)
    {
        if (result != EC_NONE)
            reject(what, no, level);
    }
    void reject(const char* what, int no, int level);

    int16_t m_topic_id;
    int32_t m_snap_no;
    uint32_t m_packet_no;
    int32_t m_market_data_depth;
    BRAX::KORV_USER_API::TopicSettlementSession m_settlement_session;
    BRAX::KORV_USER_API::TopicSnapTime m_snap_time;
    ListHead m_updated_list;
    HashMap<const char*, InstrumentMarketData*, HashString, CompString> m_instrument_map;
    std::vector<InstrumentMarketData*> m_market_data_table;
    TaskQueue m_wait_queue;
    unsigned m_rejected_count;
    // One packet may hold a thousand refused edits: the first of each kind
    // is written in full, the rest counted.
    ReportLimiter m_reports;
    uint32_t m_snapshot_serial;
    // The seconds that m_snap_time's texts show, or -1: packets of the same
    // second skip the local time conversion and the formatting.
    int64_t m_formatted_seconds;

    // What abort_snapshot() puts back.
    struct SavedEntry {
        InstrumentMarketData* Entry;
        MDQP_TopicInstrument Instrument;
        MDQP_TopicMarketData MarketData;
        PriceEntryTable BidTable;
        PriceEntryTable AskTable;
        uint32_t SnapshotSerial;
        bool Keyed;
        bool Registered;
    };
    struct SavedTopic {
        BRAX::KORV_USER_API::TopicSettlementSession SettlementSession;
        BRAX::KORV_USER_API::TopicSnapTime SnapTime;
        int64_t FormattedSeconds;
        int32_t SnapNo;
        int32_t MarketDataDepth;
        size_t InstrumentCount;
        unsigned KeyCount;
    };
    bool m_snapshot_open;
    SavedTopic m_saved;
    // Instruments that existed at begin_snapshot(), as they were before the
    // snapshot's first record touched them.
    std::vector<SavedEntry> m_saved_entries;
};

// Inline: level events are most of a feed, and the parser that decodes them
// lives in another file.
inline void KorvUserTopic::handle_md_entry_event(InstrumentMarketData* entry, int no,
                                                 const BRAX::KORV::MIRP_MDEntryEvent* event)
{
    if (entry == nullptr) {
        reject("md_entry_event", no, 0);
        return;
    }
    // The side by an index rather than a branch: bids and asks come in no
    // order a predictor could learn.
    static constexpr PriceEntryTable InstrumentMarketData::*SIDES[2] = {
        &InstrumentMarketData::BidTable, &InstrumentMarketData::AskTable};
    PriceEntryTable& side = entry->*SIDES[event->EntryType != BRAX::KORV::MDET_Bid];
    PriceEntry level{tick_price(event->PriceOffset, entry->Instrument.PriceTick,
                                entry->MarketData.LevelBasePrice),
                     event->Volume};
    // Level numbers start at 1; anything below maps to a refused position.
    int pos = event->PriceLevel > 0 ? event->PriceLevel - 1 : -1;
    switch (event->EventType) {
        case BRAX::KORV::MBP_EVENT_New:
            check_level(side.insert(pos, level), "md_entry_event new", no, event->PriceLevel);
            break;
        case BRAX::KORV::MBP_EVENT_Change:
            check_level(side.update(pos, level), "md_entry_event change", no, event->PriceLevel);
            break;
        case BRAX::KORV::MBP_EVENT_Delete:
            check_level(side.erase(pos), "md_entry_event delete", no, event->PriceLevel);
            break;
        default:
            break;
    }
    reg_market_data(entry);
}

// Inline as well: trades are the second most frequent event.
inline void KorvUserTopic::handle_trade_slice(InstrumentMarketData* entry, int no,
                                              const BRAX::KORV::MIRP_TradeSlice* slice)
{
    if (entry == nullptr) {
        reject("trade_slice", no, 0);
        return;
    }
    const MDQP_TopicInstrument& instrument = entry->Instrument;
    MDQP_TopicMarketData& data = entry->MarketData;
    data.LastPrice =
        tick_price(slice->LastPriceOffset, instrument.PriceTick, instrument.TradeBasePrice);
    // Volume is a 32-bit counter that wraps.
    data.Volume = int32_t(uint32_t(data.Volume) + uint32_t(slice->Volume));
    double traded =
        double(instrument.VolumeMultiple) * (double(slice->TurnoverOffset) * instrument.PriceTick +
                                             double(slice->Volume) * instrument.TradeBasePrice);
    data.Turnover = add_to(data.Turnover, traded);
    data.OpenInterest = add_to(data.OpenInterest, double(slice->OpenInterestChange));
    reg_market_data(entry);
}

}  // namespace USER
}  // namespace KORV
