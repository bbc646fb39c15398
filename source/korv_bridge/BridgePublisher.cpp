#include "source/korv_bridge/BridgePublisher.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "source/korv_bridge/BridgeSubjects.h"
#include "source/korv_bridge/BridgeText.h"
#include "source/korv_bridge/WallClock.h"

namespace korv_bridge {

namespace {

// How many listed instruments one round takes before it looks again at
// reconnects, markers and the liveness period.
constexpr size_t BATCH = 512;
// A publish not acknowledged within this long counts as failed and goes out
// again.
constexpr int64_t ACK_WAIT_MS = 4000;
// Markers go out at most this often per topic.
constexpr int64_t MARKER_PERIOD_MS = 100;
// A topic this long without a delivery is between batches: every handler
// call of a batch runs in one go on the library's thread.
constexpr int64_t QUIET_NS = 1000LL * 1000 * 1000;
// How long the thread waits for the queue when it has nothing to publish;
// also how soon it notices a reconnect or a failed publish.
constexpr int IDLE_WAIT_MS = 20;
// The window in which the stream recognises a message id it has stored.
constexpr int64_t DUPLICATE_WINDOW_NS = 120LL * 1000 * 1000 * 1000;
// Error code of a stream that exists with another configuration.
constexpr int STREAM_NAME_IN_USE = 10058;

std::string message_id(const std::string& subject, uint64_t run_id, uint64_t version)
{
    return subject + ":" + std::to_string(run_id) + ":" + std::to_string(version);
}

}  // namespace

BridgePublisher::BridgePublisher(PublisherSettings settings, KORV::FEED::ConflatingQueue& queue)
    : m_settings(std::move(settings)), m_queue(queue), m_run_id(uint64_t(wall_clock_ns() / 1000))
{
}

BridgePublisher::~BridgePublisher()
{
    stop(0);
}

bool BridgePublisher::start(std::string& error)
{
    // The first connection is made here, so that a wrong location or
    // credentials show at once; later ones are the client's reconnects.
    natsStatus s =
        nats_connect(m_settings.nats, &BridgePublisher::on_reconnected, this, 25, &m_connection);
    if (s != NATS_OK) {
        error = natsStatus_GetText(s);
        return false;
    }
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = 5000;
    options.PublishAsync.MaxPending = m_settings.max_pending;
    options.PublishAsync.AckHandler = &BridgePublisher::on_ack;
    options.PublishAsync.AckHandlerClosure = this;
    options.PublishAsync.StallWait = 200;
    s = natsConnection_JetStream(&m_js, m_connection, &options);
    if (s != NATS_OK) {
        error = natsStatus_GetText(s);
        return false;
    }
    m_thread = std::thread(&BridgePublisher::run, this);
    return true;
}

void BridgePublisher::make_stream()
{
    const std::string subjects = all_subjects(m_settings.prefix);
    const char* subject_list[] = {subjects.c_str()};
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    config.Name = m_settings.stream.c_str();
    config.Subjects = subject_list;
    config.SubjectsLen = 1;
    config.MaxMsgsPerSubject = 1;
    config.Storage = m_settings.memory ? js_MemoryStorage : js_FileStorage;
    config.Replicas = m_settings.replicas;
    config.AllowDirect = true;
    config.Duplicates = DUPLICATE_WINDOW_NS;
    // A cluster elects its first leader a few seconds after it starts, and
    // a new one when its leader dies; the book collects meanwhile.
    bool reported = false;
    while (!m_stop) {
        jsStreamInfo* info = nullptr;
        jsErrCode code = jsErrCode(0);
        natsStatus s = js_AddStream(&info, m_js, &config, nullptr, &code);
        jsStreamInfo_Destroy(info);
        if (s == NATS_OK || int(code) == STREAM_NAME_IN_USE)
            return;
        if (!reported) {
            reported = true;
            fprintf(stderr, text::STREAM_WAIT, m_settings.name.c_str(), m_settings.stream.c_str(),
                    natsStatus_GetText(s), int(code));
        }
        usleep(500000);
    }
}

void BridgePublisher::stop(int flush_ms)
{
    if (m_thread.joinable()) {
        // What the library handed over last goes out before the thread ends.
        for (int waited = 0; waited < flush_ms; waited += 10) {
            bool sent = m_queue.counts().pending == 0;
            if (sent) {
                std::lock_guard<std::mutex> lock(m_mutex);
                sent = m_listed.empty();
            }
            if (sent)
                break;
            usleep(10000);
        }
        m_stop = true;
        m_thread.join();
    }
    if (m_js) {
        jsPubOptions options;
        jsPubOptions_Init(&options);
        options.MaxWait = flush_ms > 0 ? flush_ms : 1;
        js_PublishAsyncComplete(m_js, &options);
        jsCtx_Destroy(m_js);
        m_js = nullptr;
    }
    if (m_connection) {
        natsConnection_Destroy(m_connection);
        m_connection = nullptr;
    }
}

void BridgePublisher::keep(const KORV::FEED::FeedRecord& record, int64_t wall_offset_ns)
{
    const auto topic_id = uint32_t(record.TopicID);
    std::string subject = instrument_subject(m_settings.prefix, topic_id,
                                             record.MarketData.InstrumentID, INSTRUMENT_ID_SIZE);
    TopicPass& topic = m_topics[topic_id];
    auto found = m_book.find(subject);
    if (found == m_book.end()) {
        found = m_book.emplace(subject, Entry()).first;
        found->second.subject = subject;
        found->second.topic_id = topic_id;
        ++topic.instruments;
        ++m_counters.instruments;
    }
    Entry& entry = found->second;
    const int64_t now = wall_clock_ns();
    // Only an instrument last seen under the current numbering can tell that
    // it restarted; the others follow it into the new epoch.
    if (topic.epoch == 0 ||
        (entry.version > 0 && entry.epoch == topic.epoch && record.PacketNo < entry.packet_no)) {
        topic.epoch = std::max(uint64_t(now / 1000), topic.epoch + 1);
        topic.first_packet_no = record.PacketNo;
    }
    entry.packet_no = record.PacketNo;
    entry.epoch = topic.epoch;
    topic.packet_no = record.PacketNo;
    topic.last_handler_ns = std::max(topic.last_handler_ns, record.HandlerNs);
    RecordHeader header;
    header.topic_id = topic_id;
    header.epoch = topic.epoch;
    header.packet_no = record.PacketNo;
    header.handler_ns = record.HandlerNs + wall_offset_ns;
    encode_instrument(entry.record.data(), header, ++entry.version, &record.SettlementSession,
                      &record.SnapTime, &record.MarketData, record.Bids, record.Asks);
    topic.due = true;
    ++m_counters.updates;
    list(entry);
}

void BridgePublisher::take_queue(int wait_ms)
{
    std::vector<KORV::FEED::FeedRecord>& taken = m_taken;
    taken.clear();
    size_t n =
        m_queue.take(BATCH, std::chrono::milliseconds(wait_ms),
                     [&taken](const KORV::FEED::FeedRecord& record) { taken.push_back(record); });
    // The handler stamps the monotonic clock; records carry the wall clock,
    // which a consumer on another host can compare with its own.
    const int64_t wall_offset_ns = wall_clock_ns() - KORV::FEED::feed_clock_ns();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& record : taken)
        keep(record, wall_offset_ns);
    // Fewer than asked: the queue was empty, so every batch before the
    // newest one taken has been taken whole.
    if (n == BATCH)
        return;
    const int64_t now = KORV::FEED::feed_clock_ns();
    for (auto& item : m_topics) {
        TopicPass& topic = item.second;
        if (topic.packet_no != topic.first_packet_no || now - topic.last_handler_ns >= QUIET_NS)
            topic.complete = true;
    }
}

void BridgePublisher::list(Entry& entry)
{
    if (entry.listed)
        return;
    entry.listed = true;
    m_listed.push_back(&entry);
}

void BridgePublisher::relist(const std::string& subject, uint64_t version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_book.find(subject);
    // A newer state is on its way already, or went out.
    if (found != m_book.end() && found->second.version == version)
        list(found->second);
}

void BridgePublisher::on_ack(jsCtx*, natsMsg* msg, jsPubAck*, jsPubAckErr* error, void* closure)
{
    auto* self = static_cast<BridgePublisher*>(closure);
    const auto* data = reinterpret_cast<const uint8_t*>(natsMsg_GetData(msg));
    const size_t size = size_t(natsMsg_GetDataLength(msg));
    RecordHeader header;
    const bool sound = read_header(data, size, header);
    if (error == nullptr) {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        ++self->m_counters.messages;
        self->m_counters.bytes += size;
    } else {
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            ++self->m_counters.publish_errors;
            if (sound && header.kind == KIND_MARKER)
                self->m_topics[header.topic_id].due = true;
        }
        // The state goes out again from the book, where a newer one may
        // have taken its place meanwhile.
        if (sound && header.kind == KIND_INSTRUMENT)
            self->relist(natsMsg_GetSubject(msg), update_no_of(data));
    }
    // With an ack handler the message is the application's to destroy.
    natsMsg_Destroy(msg);
}

void BridgePublisher::on_reconnected(natsConnection*, void* closure)
{
    auto* self = static_cast<BridgePublisher*>(closure);
    self->m_reconnected = true;
}

std::vector<BridgePublisher::Outgoing> BridgePublisher::take_listed()
{
    std::vector<Outgoing> batch;
    if (m_reconnected.exchange(false)) {
        ++m_counters.reconnects;
        for (auto& item : m_book) {
            ++m_counters.republished;
            list(item.second);
        }
        for (auto& topic : m_topics)
            topic.second.due = true;
    }
    while (!m_listed.empty() && batch.size() < BATCH) {
        Entry* entry = m_listed.front();
        m_listed.pop_front();
        entry->listed = false;
        batch.push_back({entry->subject,
                         std::vector<uint8_t>(entry->record.begin(), entry->record.end()),
                         message_id(entry->subject, m_run_id, entry->version)});
    }
    return batch;
}

std::vector<BridgePublisher::Outgoing> BridgePublisher::take_markers()
{
    std::vector<Outgoing> markers;
    if (!m_listed.empty())
        return markers;
    for (auto& item : m_topics) {
        TopicPass& topic = item.second;
        if (!topic.due || !topic.complete)
            continue;
        topic.due = false;
        PassMarker marker;
        marker.header.topic_id = item.first;
        marker.header.epoch = topic.epoch;
        marker.header.packet_no = topic.packet_no;
        marker.header.handler_ns = wall_clock_ns();
        marker.instrument_count = topic.instruments;
        marker.pass_no = ++topic.pass_no;
        std::vector<uint8_t> data(MARKER_RECORD_SIZE);
        encode_marker(data.data(), marker);
        const std::string subject = marker_subject(m_settings.prefix, item.first);
        markers.push_back(
            {subject, std::move(data), message_id(subject, m_run_id, marker.pass_no)});
    }
    return markers;
}

bool BridgePublisher::publish(const Outgoing& out)
{
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = out.msg_id.c_str();
    options.MaxWait = ACK_WAIT_MS;
    natsStatus s =
        js_PublishAsync(m_js, out.subject.c_str(), out.data.data(), int(out.data.size()), &options);
    if (s == NATS_OK)
        return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counters.publish_errors;
    return false;
}

void BridgePublisher::publish_liveness()
{
    const std::string text = counters_text();
    natsConnection_PublishString(m_connection, liveness_subject(m_settings.name).c_str(),
                                 text.c_str());
}

void BridgePublisher::run()
{
    using Clock = std::chrono::steady_clock;
    auto next_liveness = Clock::now();
    auto next_marker = Clock::now();
    make_stream();
    while (!m_stop) {
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            idle = m_listed.empty() && !m_reconnected;
        }
        take_queue(idle ? IDLE_WAIT_MS : 0);
        std::vector<Outgoing> batch;
        std::vector<Outgoing> markers;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            batch = take_listed();
            if (Clock::now() >= next_marker) {
                markers = take_markers();
                next_marker = Clock::now() + std::chrono::milliseconds(MARKER_PERIOD_MS);
            }
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            if (publish(batch[i]))
                continue;
            // Not sent (the client's buffer is full or it is closed): back
            // on the list, and a pause before the next try.
            for (size_t j = i; j < batch.size(); ++j)
                relist(batch[j].subject, update_no_of(batch[j].data.data()));
            usleep(20000);
            break;
        }
        for (const Outgoing& marker : markers) {
            if (!publish(marker)) {
                std::lock_guard<std::mutex> lock(m_mutex);
                RecordHeader header;
                if (read_header(marker.data.data(), marker.data.size(), header))
                    m_topics[header.topic_id].due = true;
            }
        }
        if (Clock::now() >= next_liveness) {
            publish_liveness();
            next_liveness = Clock::now() + std::chrono::milliseconds(m_settings.liveness_ms);
        }
    }
}

PublisherCounters BridgePublisher::counters() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters;
}

std::string BridgePublisher::counters_text() const
{
    PublisherCounters c = counters();
    KORV::FEED::ConflatingQueue::Counts q = m_queue.counts();
    char text[640];
    snprintf(text, sizeof text, text::BRIDGE_COUNTERS, m_settings.name.c_str(),
             (unsigned long long)c.messages, (unsigned long long)c.bytes,
             (unsigned long long)c.publish_errors, (unsigned long long)c.reconnects,
             (unsigned long long)c.updates, (unsigned long long)c.instruments,
             (unsigned long long)c.republished, (unsigned long long)q.delivered,
             (unsigned long long)q.conflated, (unsigned long long)q.dropped);
    return text;
}

}  // namespace korv_bridge
