// Internal to the Python package: the bounded hand-over from the library's
// event-loop thread to Python.
//
// The library's thread must never wait for Python (every other update of the
// library would wait with it), so a full queue drops its oldest update to
// make room and counts it: a reader that falls behind loses the oldest
// states of instruments, never the latest, and memory stays at the bound
// fixed at construction. The records live in one array allocated then.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "UpdateRecord.h"

namespace korv_python {

class UpdateQueue {
public:
    explicit UpdateQueue(size_t capacity);

    // Library thread: copies one delivered instrument in.
    void push(int topic_id, const BRAX::KORV_USER_API::TopicSettlementSession* session,
              const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
              const BRAX::KORV_USER_API::TopicMarketData* market_data,
              const BRAX::KORV_USER_API::TopicPriceEntry* bids,
              const BRAX::KORV_USER_API::TopicPriceEntry* asks);

    // Reader: moves up to max records into out, waiting at most wait for the
    // first one. Returns how many; 0 on time-out or once closed and empty.
    size_t take(UpdateRecord* out, size_t max, std::chrono::milliseconds wait);

    // Wakes every reader; later takes return what is left, then 0.
    void close();
    bool closed() const;

    size_t capacity() const { return m_records.size(); }
    size_t size() const;
    uint64_t delivered() const;
    uint64_t dropped() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<UpdateRecord> m_records;
    size_t m_head = 0;
    size_t m_count = 0;
    uint64_t m_delivered = 0;
    uint64_t m_dropped = 0;
    bool m_closed = false;
};

}  // namespace korv_python
