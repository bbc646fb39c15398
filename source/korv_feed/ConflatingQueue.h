// Internal, shared by the Python package and the message bus bridge: the
// hand-over of delivered updates from the library's event-loop thread to a
// reader on another thread, keeping the latest state of every instrument.
//
// Every update carries its instrument's whole state, so an older pending
// state is worth nothing once a newer one of the same instrument comes: the
// queue holds at most one pending record per (topic, instrument id), and a
// newer update overwrites its pending record in place, keeping its place.
// Records leave in the order in which their instrument's first pending
// update arrived. A reader that falls behind therefore misses intermediate
// states but never an instrument's latest one, and reads each changed
// instrument once however often it changed meanwhile.
//
// Memory. Records live in chunks of CHUNK_RECORDS that are never moved or
// freed while the queue lives; a read record goes back to a free list. The
// library's thread allocates only when more distinct instruments are
// pending at once than ever before (a new chunk, and the index doubled when
// it passes half full), so once the instruments of the feed have all been
// pending together nothing is allocated per update. `bound` caps the
// pending instruments: past it the oldest pending record is dropped to make
// room and counted, the only way a state is lost, and the library's thread
// never waits for a reader (a bound at least the instrument count of the
// subscribed topics never drops).
//
// Counts: delivered = read + pending + conflated + dropped at any moment
// (counts() takes them together).
//
// Thread rules: push from one thread (the library's); take, close and
// counts from any. One mutex guards everything; a reader copies records out
// in slices of TAKE_SLICE under it, so the library's thread waits at most
// one slice's copying. The reader's condition variable is signalled only
// when a reader waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "source/korv_feed/FeedRecord.h"

namespace KORV {
namespace FEED {

class ConflatingQueue {
public:
    static constexpr size_t CHUNK_RECORDS = 256;
    static constexpr size_t TAKE_SLICE = 64;

    struct Counts {
        uint64_t delivered;  // updates pushed
        uint64_t read;       // records taken by readers
        uint64_t pending;    // records waiting, one per instrument
        uint64_t conflated;  // updates that overwrote a pending record
        uint64_t dropped;    // pending records dropped past the bound
        uint64_t allocated;  // records allocated (memory: allocated * sizeof(FeedRecord))
        uint64_t bound;      // most records pending at once
    };

    // bound >= 1: most instruments pending at once. reserve: records
    // allocated now (rounded up to whole chunks, at most bound), so that a
    // known instrument count costs the library's thread no allocation later.
    explicit ConflatingQueue(size_t bound, size_t reserve = CHUNK_RECORDS);
    ConflatingQueue(const ConflatingQueue&) = delete;
    ConflatingQueue& operator=(const ConflatingQueue&) = delete;
    ~ConflatingQueue();

    // The library's thread, from a handler call: keeps the instrument's new
    // state. Nothing happens once closed.
    void push(int topic_id, uint32_t packet_no,
              const BRAX::KORV_USER_API::TopicSettlementSession* session,
              const BRAX::KORV_USER_API::TopicSnapTime* snap_time,
              const BRAX::KORV_USER_API::TopicMarketData* market_data,
              const BRAX::KORV_USER_API::TopicPriceEntry* bids,
              const BRAX::KORV_USER_API::TopicPriceEntry* asks);

    // Any reader: hands up to max pending records, oldest first, to
    // sink(const FeedRecord&), which must not call back into the queue; waits
    // at most `wait` for the first. Returns how many; 0 on time-out, or once
    // closed and empty. The sink runs under the queue's lock: it should copy
    // and return.
    template <class Sink>
    size_t take(size_t max, std::chrono::nanoseconds wait, Sink&& sink);
    // The same into an array of max records.
    size_t take(FeedRecord* out, size_t max, std::chrono::nanoseconds wait);
    // Waits at most `wait` for a pending record (or close); returns how many
    // are pending then, which a single reader can take at once.
    size_t wait_pending(std::chrono::nanoseconds wait);

    // Wakes every reader; later pushes are ignored, later takes return what
    // is left, then 0.
    void close();
    bool closed() const;
    Counts counts() const;

private:
    struct Slot {
        FeedRecord record;
        uint32_t hash;
        uint32_t next;  // the next pending slot, or the next free one
    };

    static constexpr uint32_t NONE = UINT32_MAX;

    Slot& slot(uint32_t index) { return m_chunks[index / CHUNK_RECORDS][index % CHUNK_RECORDS]; }
    // All under m_mutex.
    bool wait_locked(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds wait);
    uint32_t find(uint32_t hash, int topic_id, const char* instrument_id);
    void index_insert(uint32_t index);
    void index_erase(uint32_t index);
    void grow_index();
    bool add_chunk();
    // Unlinks the oldest pending record and frees its slot.
    void unlink_head();

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<std::unique_ptr<Slot[]>> m_chunks;
    // Open addressing, linear probing: slot numbers of pending records, or
    // NONE; never more than half full.
    std::vector<uint32_t> m_index;
    size_t m_bound;
    uint32_t m_head = NONE;
    uint32_t m_tail = NONE;
    uint32_t m_free = NONE;
    int m_waiting = 0;
    bool m_closed = false;
    Counts m_counts{};
};

template <class Sink>
size_t ConflatingQueue::take(size_t max, std::chrono::nanoseconds wait, Sink&& sink)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!wait_locked(lock, wait))
        return 0;
    size_t n = 0;
    while (n < max && m_head != NONE) {
        for (size_t i = 0; i < TAKE_SLICE && n < max && m_head != NONE; ++i, ++n) {
            sink(const_cast<const FeedRecord&>(slot(m_head).record));
            unlink_head();
            ++m_counts.read;
        }
        // Lets the library's thread in between slices.
        if (n < max && m_head != NONE) {
            lock.unlock();
            lock.lock();
        }
    }
    return n;
}

}  // namespace FEED
}  // namespace KORV
