#include "source/korv_user/KorvUserTopicNotifier.h"

#include <time.h>

#include <cstring>

#include "source/korv_user/KorvUserCountersFile.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/task/ListHead.h"
#include "velta/source/task/Reactor.h"

using namespace BRAX::KORV_USER_API;
using KORV::USER::KorvUserTopic;
using KORV::USER::MAX_LEVEL;
using KORV::USER::PriceEntryTable;

namespace {

static_assert(TOPIC_PRICE_ENTRY_COUNT == MAX_LEVEL + 1, "a full side leaves room for the end mark");

// The levels of one side followed by the end mark.
void fill_levels(TopicPriceEntry (&out)[TOPIC_PRICE_ENTRY_COUNT], const PriceEntryTable& table)
{
    int count = table.get_count();
    static_assert(sizeof(TopicPriceEntry) == sizeof(KORV::USER::PriceEntry),
                  "price levels are copied out as one block");
    memcpy(out, table.get_entries(), count * sizeof(TopicPriceEntry));
    out[count].Price = UFBaseFloatType::NULL_VALUE;
    out[count].Volume = 0;
}

// Copies a text field whole. The book terminates every text field it keeps
// within the field, so the copy is a C string as well, without a loop over
// its characters.
template <size_t N>
void copy_field(char (&dst)[N], const char (&src)[N])
{
    memcpy(dst, src, N);
}

void fill_market_data(TopicMarketData& out, const KorvUserTopic::InstrumentMarketData& entry)
{
    const auto& data = entry.MarketData;
    copy_field(out.InstrumentID, entry.Instrument.InstrumentID);
    out.LevelBasePrice = data.LevelBasePrice;
    out.SnapValue1 = data.SnapValue1;
    out.SnapValue2 = data.SnapValue2;
    out.SnapValue3 = data.SnapValue3;
    out.LastPrice = data.LastPrice;
    out.Volume = data.Volume;
    out.Turnover = data.Turnover;
    out.OpenInterest = data.OpenInterest;
    out.OpenPrice = data.OpenPrice;
    out.HighPrice = data.HighPrice;
    out.LowPrice = data.LowPrice;
    out.ClosePrice = data.ClosePrice;
    out.SettlementPrice = data.SettlementPrice;
    out.UpperLimitPrice = data.UpperLimitPrice;
    out.LowerLimitPrice = data.LowerLimitPrice;
    out.Delta = data.Delta;
    out.SnapValue4 = data.SnapValue4;
    copy_field(out.UpdateDate, data.UpdateDate);
    copy_field(out.UpdateTime, data.UpdateTime);
    out.UpdateMillisec = data.UpdateMillisec;
}

// The delivery under way on this thread, read by get_delivery_packet_no.
// Per thread, since every API object delivers on a loop thread of its own.
thread_local bool t_delivering = false;
thread_local uint32_t t_delivery_packet_no = 0;

int64_t monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

KorvUserTopicNotifier::KorvUserTopicNotifier(Reactor* reactor, int /*topic_id*/,
                                             KorvUserTopic* topic, KorvMarketDataHandler* handler)
    : m_reactor(reactor), m_topic(topic), m_handler(handler), m_fetch_result_task(this)
{
    post_fetch_result();
}

KorvUserTopicNotifier::~KorvUserTopicNotifier() = default;

void KorvUserTopicNotifier::set_counters_file(
    std::unique_ptr<KORV::USER::KorvUserCountersFile> file)
{
    m_counters_file = std::move(file);
}

void KorvUserTopicNotifier::post_fetch_result()
{
    // Changes already pending are delivered on the next loop turn rather
    // than from inside this call.
    if (m_topic->schedule(&m_fetch_result_task) == 0)
        m_reactor->schedule(&m_fetch_result_task);
}

void KorvUserTopicNotifier::on_fetch_result()
{
    ListHead updated;
    if (m_topic->fetch_updated(updated) == 0 && !updated.empty()) {
        const TopicSettlementSession* session = m_topic->get_settlement_session();
        const TopicSnapTime* snap_time = m_topic->get_snap_time();
        // The whole delivery is timed rather than each call: two clock reads
        // per call would cost a busy topic more than its decoding does.
        int64_t start = monotonic_ns();
        int calls = 0;
        t_delivering = true;
        t_delivery_packet_no = m_topic->get_packet_no();
        while (!updated.empty()) {
            auto* entry = static_cast<KorvUserTopic::InstrumentMarketData*>(updated.head());
            // Detached first, so that a change made by the handler registers anew.
            entry->detach();
            TopicMarketData market_data;
            TopicPriceEntry bids[TOPIC_PRICE_ENTRY_COUNT];
            TopicPriceEntry asks[TOPIC_PRICE_ENTRY_COUNT];
            fill_market_data(market_data, *entry);
            fill_levels(bids, entry->BidTable);
            fill_levels(asks, entry->AskTable);
            m_handler->handle_market_data(session, snap_time, &market_data, bids, asks);
            ++calls;
        }
        t_delivering = false;
        count_delivery(calls, monotonic_ns() - start);
    }
    post_fetch_result();
}

int BRAX::KORV_USER_API::get_delivery_packet_no(unsigned int* packet_no)
{
    if (packet_no == nullptr)
        return EC_PARAM;
    if (!t_delivering)
        return EC_OPERATION;
    *packet_no = t_delivery_packet_no;
    return EC_NONE;
}

void KorvUserTopicNotifier::count_delivery(int calls, int64_t ns)
{
    uint64_t us = ns > 0 ? uint64_t(ns) / 1000 : 0;
    // Bucket i holds [2^(i-1), 2^i) us: the bit width of the time.
    int bucket = 0;
    while (bucket + 1 < KORV_HANDLER_TIME_BUCKETS && (us >> bucket) != 0)
        ++bucket;
    m_counters.calls.add(uint64_t(calls));
    m_counters.deliveries.add();
    m_counters.time_us.add(us);
    m_counters.time[bucket].add();
}
