// Internal to the bridge: the thread that publishes the book into a
// JetStream stream that keeps the last message of every subject.
//
// The library's thread only hands over an instrument's latest state; this
// thread publishes asynchronously and keeps, per instrument, the state last
// handed over and whether it still has to go out. An instrument that changes
// again before its turn goes out once, with its latest state; a publish the
// server refused or never acknowledged goes out again, with the same message
// id, so the stream stores it once. After a reconnect the whole book goes out
// again (the stream drops the states it already holds as duplicates), and a
// new bridge publishes everything it is handed, so a consumer's book
// converges whatever server or bridge went away.
//
// After each pass that emptied the list of instruments to publish, each
// changed topic gets a marker with the count of its instruments, so that a
// consumer knows when it holds all of them. A batch (a snapshot's above all)
// is handed over one instrument at a time, so the count a marker carries is
// the one of complete batches: those before the batch under way, or all once
// the topic has been quiet for a moment.
#pragma once

#include <nats/nats.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
    uint64_t updates = 0;         // states handed over
    uint64_t instruments = 0;
    uint64_t republished = 0;     // states sent again after a reconnect
};

class BridgePublisher {
public:
    explicit BridgePublisher(PublisherSettings settings);
    ~BridgePublisher();
    BridgePublisher(const BridgePublisher&) = delete;
    BridgePublisher& operator=(const BridgePublisher&) = delete;

    // Connects and starts the thread, which makes sure the stream exists
    // before it publishes. Application thread; false with the reason when
    // no server answered for a few seconds.
    bool start(std::string& error);
    // Waits up to flush_ms for what is in flight, then ends the thread and
    // the connection. Application thread.
    void stop(int flush_ms = 5000);

    // The latest state of one instrument, an encoded instrument record.
    // Any thread; returns at once.
    void offer(const uint8_t* record);

    PublisherCounters counters() const;
    // The counters as the liveness subject carries them.
    std::string counters_text() const;

private:
    struct Entry {
        std::string subject;
        uint32_t topic_id = 0;
        std::array<uint8_t, INSTRUMENT_RECORD_SIZE> record{};
        uint64_t version = 0;
        bool listed = false;
    };
    struct TopicPass {
        uint64_t epoch = 0;
        uint64_t packet_no = 0;
        uint32_t instruments = 0;
        // Instruments held when the last delivered batch began: all of them
        // were handed over by then, the batch under way may still add some.
        uint32_t settled = 0;
        std::chrono::steady_clock::time_point last_offer;
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
    // Distinguishes this run's message ids from an earlier bridge's.
    const uint64_t m_run_id;
    natsConnection* m_connection = nullptr;
    jsCtx* m_js = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_reconnected{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unordered_map<std::string, Entry> m_book;
    std::deque<Entry*> m_listed;
    std::map<uint32_t, TopicPass> m_topics;
    PublisherCounters m_counters;
};

}  // namespace korv_bridge
