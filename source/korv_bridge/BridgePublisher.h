// Internal to the bridge: the thread that publishes the book into a
// JetStream stream that keeps the last message of every subject.
//
// The library's thread only puts each delivery into the conflating queue
// (KORV::FEED::FeedHandler) and never waits on the network. This thread
// takes the queue's records, keeps per instrument the latest state and
// whether it still has to go out, and publishes asynchronously. An
// instrument that changes again before its turn goes out once, with its
// latest state; a publish the server refused or never acknowledged goes out
// again with the same message id, so the stream stores it once. After a
// reconnect the whole book goes out again (the stream drops the states it
// already holds as duplicates), and a new bridge publishes everything it is
// handed, so a consumer's book converges whatever server or bridge went
// away.
//
// The epoch of a topic is the wall-clock microseconds when this thread took
// up its packet numbering, taken again when an instrument's packet number
// goes back (the platform restarted the topic, or the 32-bit number
// wrapped); an instrument's states leave the queue in order, so this is
// never a reordering.
//
// The marker: after each pass that emptied the list of instruments to
// publish, each changed topic gets one with the count of its instruments,
// so that a consumer knows when it holds all of them. The snapshot's
// instruments are handed over one at a time, so a topic is counted only
// once its first batch is known to be complete: the queue was found empty
// after a later batch's record was taken (every earlier batch was pushed
// before it), or the topic has been quiet for a second.
#pragma once

#include <nats/nats.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "source/korv_bridge/BridgeRecord.h"
#include "source/korv_bridge/NatsSettings.h"
#include "source/korv_feed/ConflatingQueue.h"

namespace korv_bridge {

struct PublisherSettings {
    NatsSettings nats;
    std::string stream = "KORV_MD";
    int replicas = 1;
    bool memory = false;
    std::string prefix = "korv.md";
    std::string name = "korv_md_bridge";
    int max_pending = 4096;
    int liveness_ms = 1000;
};

struct PublisherCounters {
    uint64_t messages = 0;        // acknowledged by the stream
    uint64_t bytes = 0;           // of those messages
    uint64_t publish_errors = 0;  // refused, failed or unacknowledged publishes
    uint64_t reconnects = 0;
    uint64_t updates = 0;  // states taken from the queue
    uint64_t instruments = 0;
    uint64_t republished = 0;  // states sent again after a reconnect
};

class BridgePublisher {
public:
    // The queue is not owned; the handlers of the subscribed topics fill it.
    BridgePublisher(PublisherSettings settings, KORV::FEED::ConflatingQueue& queue);
    ~BridgePublisher();
    BridgePublisher(const BridgePublisher&) = delete;
    BridgePublisher& operator=(const BridgePublisher&) = delete;

    // Connects and starts the thread, which makes sure the stream exists
    // before it publishes. Application thread; false with the reason when
    // no server answered for a few seconds.
    bool start(std::string& error);
    // Waits up to flush_ms for the queue's last records to be published and
    // acknowledged, then ends the thread and the connection. Application
    // thread, after the queue's producers have stopped.
    void stop(int flush_ms = 5000);

    PublisherCounters counters() const;
    // The counters as the liveness subject carries them, with the queue's
    // (delivered by the library, conflated, dropped).
    std::string counters_text() const;

private:
    struct Entry {
        std::string subject;
        uint32_t topic_id = 0;
        std::array<uint8_t, INSTRUMENT_RECORD_SIZE> record{};
        uint32_t packet_no = 0;
        uint64_t epoch = 0;
        uint64_t version = 0;
        bool listed = false;
    };
    struct TopicPass {
        uint64_t epoch = 0;
        uint32_t first_packet_no = 0;
        uint32_t packet_no = 0;
        int64_t last_handler_ns = 0;  // the queue's monotonic clock
        uint32_t instruments = 0;
        bool complete = false;
        uint64_t pass_no = 0;
        bool due = false;
    };
    struct Outgoing {
        std::string subject;
        std::vector<uint8_t> data;
        std::string msg_id;
    };

    static void on_ack(jsCtx* js, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* self);
    static void on_reconnected(natsConnection* connection, void* self);
    // Returns once the stream exists, or on stop.
    void make_stream();
    void run();
    // Takes what the queue holds (waiting up to wait_ms for the first) into
    // the book.
    void take_queue(int wait_ms);
    // One record into the book, under the lock.
    void keep(const KORV::FEED::FeedRecord& record, int64_t wall_offset_ns);
    // Takes up to a batch of listed instruments, under the lock.
    std::vector<Outgoing> take_listed();
    // Markers of the topics changed since their last marker, once nothing is
    // listed; under the lock.
    std::vector<Outgoing> take_markers();
    bool publish(const Outgoing& out);
    void relist(const std::string& subject, uint64_t version);
    void list(Entry& entry);
    void publish_liveness();

    const PublisherSettings m_settings;
    KORV::FEED::ConflatingQueue& m_queue;
    // Distinguishes this run's message ids from an earlier bridge's.
    const uint64_t m_run_id;
    natsConnection* m_connection = nullptr;
    jsCtx* m_js = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_reconnected{false};

    mutable std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_book;
    std::deque<Entry*> m_listed;
    std::map<uint32_t, TopicPass> m_topics;
    // The records of one take; the publishing thread's only.
    std::vector<KORV::FEED::FeedRecord> m_taken;
    PublisherCounters m_counters;
};

}  // namespace korv_bridge
