#include "source/korv_feed/ConflatingQueue.h"

#include <cstring>
#include <stdexcept>

namespace KORV {
namespace FEED {

using namespace BRAX::KORV_USER_API;

namespace {

constexpr size_t ID_SIZE = sizeof(TopicMarketData::InstrumentID);

// FNV-1a over the topic and the id up to its terminator.
uint32_t key_hash(int topic_id, const char* instrument_id)
{
    uint32_t hash = 2166136261u;
    auto mix = [&hash](unsigned char byte) { hash = (hash ^ byte) * 16777619u; };
    for (int shift = 0; shift < 32; shift += 8)
        mix(static_cast<unsigned char>(uint32_t(topic_id) >> shift));
    for (size_t i = 0; i < ID_SIZE && instrument_id[i] != '\0'; ++i)
        mix(static_cast<unsigned char>(instrument_id[i]));
    return hash;
}

}  // namespace

ConflatingQueue::ConflatingQueue(size_t bound, size_t reserve) : m_bound(bound)
{
    // Slot numbers and the index are 32-bit.
    if (bound == 0 || bound > (size_t(1) << 30))
        throw std::invalid_argument("the queue's bound must be 1 to 2^30 records");
    m_counts.bound = bound;
    m_index.assign(16, NONE);
    while (m_counts.allocated < reserve && add_chunk()) {
    }
}

ConflatingQueue::~ConflatingQueue() = default;

bool ConflatingQueue::add_chunk()
{
    if (m_counts.allocated >= m_bound)
        return false;
    size_t first = m_chunks.size() * CHUNK_RECORDS;
    size_t count = std::min(CHUNK_RECORDS, m_bound - first);
    m_chunks.emplace_back(new Slot[CHUNK_RECORDS]);
    // The new slots go to the free list in order.
    for (size_t i = count; i-- > 0;) {
        slot(uint32_t(first + i)).next = m_free;
        m_free = uint32_t(first + i);
    }
    m_counts.allocated += count;
    while (m_index.size() < 2 * m_counts.allocated)
        grow_index();
    return true;
}

void ConflatingQueue::grow_index()
{
    m_index.assign(m_index.size() * 2, NONE);
    for (uint32_t at = m_head; at != NONE; at = slot(at).next)
        index_insert(at);
}

uint32_t ConflatingQueue::find(uint32_t hash, int topic_id, const char* instrument_id)
{
    size_t mask = m_index.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        uint32_t index = m_index[at];
        if (index == NONE)
            return NONE;
        const Slot& candidate = slot(index);
        if (candidate.hash == hash && candidate.record.TopicID == topic_id &&
            strncmp(candidate.record.MarketData.InstrumentID, instrument_id, ID_SIZE) == 0)
            return index;
    }
}

void ConflatingQueue::index_insert(uint32_t index)
{
    size_t mask = m_index.size() - 1;
    size_t at = slot(index).hash & mask;
    while (m_index[at] != NONE)
        at = (at + 1) & mask;
    m_index[at] = index;
}

// Linear probing without tombstones: every entry behind the hole that may
// sit there moves up, so lookups never stop early at it.
void ConflatingQueue::index_erase(uint32_t index)
{
    size_t mask = m_index.size() - 1;
    size_t hole = slot(index).hash & mask;
    while (m_index[hole] != index)
        hole = (hole + 1) & mask;
    for (size_t at = (hole + 1) & mask; m_index[at] != NONE; at = (at + 1) & mask) {
        size_t home = slot(m_index[at]).hash & mask;
        // The entry may fill the hole unless its home lies cyclically in (hole, at].
        bool home_after_hole = ((at - home) & mask) < ((at - hole) & mask);
        if (!home_after_hole) {
            m_index[hole] = m_index[at];
            hole = at;
        }
    }
    m_index[hole] = NONE;
}

void ConflatingQueue::unlink_head()
{
    uint32_t index = m_head;
    Slot& head = slot(index);
    index_erase(index);
    m_head = head.next;
    if (m_head == NONE)
        m_tail = NONE;
    head.next = m_free;
    m_free = index;
    --m_counts.pending;
}

void ConflatingQueue::push(int topic_id, uint32_t packet_no, const TopicSettlementSession* session,
                           const TopicSnapTime* snap_time, const TopicMarketData* market_data,
                           const TopicPriceEntry* bids, const TopicPriceEntry* asks)
{
    uint32_t hash = key_hash(topic_id, market_data->InstrumentID);
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return;
        ++m_counts.delivered;
        uint32_t index = find(hash, topic_id, market_data->InstrumentID);
        if (index != NONE) {
            copy_feed_record(slot(index).record, topic_id, packet_no, session, snap_time,
                             market_data, bids, asks);
            ++m_counts.conflated;
            return;  // a reader waits only on an empty queue
        }
        if (m_free == NONE && !add_chunk()) {
            unlink_head();
            ++m_counts.dropped;
        }
        index = m_free;
        Slot& fresh = slot(index);
        m_free = fresh.next;
        copy_feed_record(fresh.record, topic_id, packet_no, session, snap_time, market_data, bids,
                         asks);
        fresh.hash = hash;
        fresh.next = NONE;
        if (m_tail == NONE)
            m_head = index;
        else
            slot(m_tail).next = index;
        m_tail = index;
        index_insert(index);
        ++m_counts.pending;
        wake = m_waiting > 0;
    }
    if (wake)
        m_ready.notify_all();
}

bool ConflatingQueue::wait_locked(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds wait)
{
    if (m_head == NONE && !m_closed && wait.count() > 0) {
        ++m_waiting;
        m_ready.wait_for(lock, wait, [this] { return m_head != NONE || m_closed; });
        --m_waiting;
    }
    return m_head != NONE;
}

size_t ConflatingQueue::wait_pending(std::chrono::nanoseconds wait)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    wait_locked(lock, wait);
    return size_t(m_counts.pending);
}

size_t ConflatingQueue::take(FeedRecord* out, size_t max, std::chrono::nanoseconds wait)
{
    return take(max, wait, [&out](const FeedRecord& record) { *out++ = record; });
}

void ConflatingQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
}

bool ConflatingQueue::closed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

ConflatingQueue::Counts ConflatingQueue::counts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

}  // namespace FEED
}  // namespace KORV
