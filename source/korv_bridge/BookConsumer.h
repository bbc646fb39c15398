// Internal to the bridge's consumers (a C++ consumer library on the NATS
// client): rebuilds the book the bridge publishes.
//
// It joins late as well as early: the stream first delivers the last
// message of every subject (each instrument's current state and each
// topic's marker), then the live ones. Every message is acknowledged, so a
// message the client missed while its server was away is delivered again;
// a state older than the one held ((epoch, packet number, update number)
// not above it) is dropped, so redeliveries never take a book backwards.
// The book is whole once every topic holds as many instruments as its
// latest marker counts.
#pragma once

#include <nats/nats.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "source/korv_bridge/BridgeRecord.h"
#include "source/korv_bridge/NatsSettings.h"

namespace korv_bridge {

struct ConsumerSettings {
    NatsSettings nats;
    std::string prefix = "korv.md";
    // -1: every topic.
    long topic_id = -1;
    // 3 in a three-server cluster: the consumer then outlives any one server.
    int replicas = 1;
    std::string durable;
    // Keep every state's receipt latency (for measurements).
    bool keep_latencies = false;
};

class BookConsumer {
public:
    explicit BookConsumer(ConsumerSettings settings);
    ~BookConsumer();
    BookConsumer(const BookConsumer&) = delete;
    BookConsumer& operator=(const BookConsumer&) = delete;

    // Connects and subscribes; false with the reason.
    bool start(std::string& error);

    // Waits up to timeout_ms for one message and applies it. The instrument
    // whose state it changed, or null (nothing came, a marker, a duplicate,
    // an older state, another topic, a record this reader cannot read).
    const InstrumentState* next(int timeout_ms);

    bool whole() const;
    size_t size() const { return m_book.size(); }
    // Instrument id to its state, per topic.
    const std::map<std::pair<uint32_t, std::string>, InstrumentState>& book() const
    {
        return m_book;
    }
    // Receipt time minus handler time of every state applied once the book
    // was whole, nanoseconds (keep_latencies).
    const std::vector<int64_t>& latencies() const { return m_latencies; }

private:
    const ConsumerSettings m_settings;
    natsConnection* m_connection = nullptr;
    jsCtx* m_js = nullptr;
    natsSubscription* m_subscription = nullptr;
    std::map<std::pair<uint32_t, std::string>, InstrumentState> m_book;
    std::map<uint32_t, PassMarker> m_markers;
    std::map<uint32_t, size_t> m_counts;
    std::vector<int64_t> m_latencies;
};

}  // namespace korv_bridge
