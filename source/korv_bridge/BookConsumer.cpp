#include "source/korv_bridge/BookConsumer.h"

#include <unistd.h>

#include <cstring>
#include <tuple>

#include "source/korv_bridge/BridgeSubjects.h"
#include "source/korv_bridge/WallClock.h"

namespace korv_bridge {

namespace {

// A message the client lost while its server was away comes again after
// this long.
constexpr int64_t ACK_WAIT_NS = 2LL * 1000 * 1000 * 1000;
constexpr int64_t MAX_ACK_PENDING = 65536;
// Creating a consumer while a cluster member is down can take many seconds.
constexpr int64_t REQUEST_WAIT_MS = 12000;
constexpr int SUBSCRIBE_ATTEMPTS = 40;

std::tuple<uint64_t, uint64_t, uint64_t> order(const InstrumentState& state)
{
    return std::make_tuple(state.header.epoch, state.header.packet_no, state.update_no);
}

}  // namespace

BookConsumer::BookConsumer(ConsumerSettings settings) : m_settings(std::move(settings)) {}

BookConsumer::~BookConsumer()
{
    natsSubscription_Destroy(m_subscription);
    jsCtx_Destroy(m_js);
    natsConnection_Destroy(m_connection);
}

bool BookConsumer::start(std::string& error)
{
    natsStatus s = nats_connect(m_settings.nats, nullptr, nullptr, 50, &m_connection);
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = REQUEST_WAIT_MS;
    if (s == NATS_OK)
        s = natsConnection_JetStream(&m_js, m_connection, &options);
    jsSubOptions sub_options;
    jsSubOptions_Init(&sub_options);
    sub_options.ManualAck = true;
    sub_options.Config.DeliverPolicy = js_DeliverLastPerSubject;
    sub_options.Config.AckPolicy = js_AckExplicit;
    sub_options.Config.AckWait = ACK_WAIT_NS;
    sub_options.Config.MaxAckPending = MAX_ACK_PENDING;
    sub_options.Config.Replicas = m_settings.replicas;
    if (!m_settings.durable.empty())
        sub_options.Config.Durable = m_settings.durable.c_str();
    const std::string subjects = all_subjects(m_settings.prefix);
    jsErrCode code = jsErrCode(0);
    // A consumer may start before the bridge has made the stream.
    for (int attempt = 0; s == NATS_OK && attempt < SUBSCRIBE_ATTEMPTS; ++attempt) {
        s = js_SubscribeSync(&m_subscription, m_js, subjects.c_str(), &options, &sub_options,
                             &code);
        if (s == NATS_OK)
            break;
        if (attempt + 1 < SUBSCRIBE_ATTEMPTS) {
            s = NATS_OK;
            usleep(500000);
        }
    }
    if (s == NATS_OK)
        s = natsSubscription_SetPendingLimits(m_subscription, -1, -1);
    if (s != NATS_OK) {
        error = std::string(natsStatus_GetText(s)) + " (" + std::to_string(int(code)) + ")";
        return false;
    }
    return true;
}

const InstrumentState* BookConsumer::next(int timeout_ms)
{
    natsMsg* msg = nullptr;
    if (natsSubscription_NextMsg(&msg, m_subscription, timeout_ms) != NATS_OK)
        return nullptr;
    const int64_t received = wall_clock_ns();
    const auto* data = reinterpret_cast<const uint8_t*>(natsMsg_GetData(msg));
    const size_t size = size_t(natsMsg_GetDataLength(msg));
    const InstrumentState* changed = nullptr;
    RecordHeader header;
    bool wanted = read_header(data, size, header) &&
                  (m_settings.topic_id < 0 || long(header.topic_id) == m_settings.topic_id);
    InstrumentState state;
    PassMarker marker;
    if (wanted && header.kind == KIND_INSTRUMENT && decode_instrument(data, size, state)) {
        std::string id(state.market_data.InstrumentID,
                       strnlen(state.market_data.InstrumentID, INSTRUMENT_ID_SIZE));
        auto key = std::make_pair(header.topic_id, id);
        auto found = m_book.find(key);
        if (found == m_book.end()) {
            ++m_counts[header.topic_id];
            found = m_book.emplace(key, state).first;
            changed = &found->second;
        } else if (order(state) > order(found->second)) {
            found->second = state;
            changed = &found->second;
        }
        // States of the catch-up are older than the join; only live ones
        // say what the way from the handler costs.
        if (changed && m_settings.keep_latencies && whole())
            m_latencies.push_back(received - header.handler_ns);
    } else if (wanted && header.kind == KIND_MARKER && decode_marker(data, size, marker)) {
        auto found = m_markers.find(header.topic_id);
        if (found == m_markers.end() ||
            std::make_tuple(marker.header.epoch, marker.pass_no) >=
                std::make_tuple(found->second.header.epoch, found->second.pass_no))
            m_markers[header.topic_id] = marker;
    }
    natsMsg_Ack(msg, nullptr);
    natsMsg_Destroy(msg);
    return changed;
}

bool BookConsumer::whole() const
{
    if (m_markers.empty())
        return false;
    for (const auto& item : m_markers) {
        auto count = m_counts.find(item.first);
        if (count == m_counts.end() || count->second < item.second.instrument_count)
            return false;
    }
    return true;
}

}  // namespace korv_bridge
