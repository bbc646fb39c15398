#include "UpdateQueue.h"

#include <algorithm>
#include <stdexcept>

namespace korv_python {

using namespace BRAX::KORV_USER_API;

UpdateQueue::UpdateQueue(size_t capacity) : m_records(capacity)
{
    if (capacity == 0)
        throw std::invalid_argument("queue_size must be at least 1");
}

void UpdateQueue::push(int topic_id, const TopicSettlementSession* session,
                       const TopicSnapTime* snap_time, const TopicMarketData* market_data,
                       const TopicPriceEntry* bids, const TopicPriceEntry* asks)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count == m_records.size()) {
            m_head = (m_head + 1) % m_records.size();
            --m_count;
            ++m_dropped;
        }
        size_t tail = (m_head + m_count) % m_records.size();
        copy_update(m_records[tail], topic_id, session, snap_time, market_data, bids, asks);
        ++m_count;
        ++m_delivered;
    }
    m_ready.notify_one();
}

size_t UpdateQueue::take(UpdateRecord* out, size_t max, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait_for(lock, wait, [this] { return m_count != 0 || m_closed; });
    size_t n = std::min(max, m_count);
    for (size_t i = 0; i < n; ++i) {
        out[i] = m_records[m_head];
        m_head = (m_head + 1) % m_records.size();
    }
    m_count -= n;
    return n;
}

void UpdateQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
}

bool UpdateQueue::closed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

size_t UpdateQueue::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

uint64_t UpdateQueue::delivered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

uint64_t UpdateQueue::dropped() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

}  // namespace korv_python
