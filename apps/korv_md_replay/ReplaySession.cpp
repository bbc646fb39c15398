#include "apps/korv_md_replay/ReplaySession.h"

#include <ctime>
#include <unistd.h>

#include "apps/korv_md_capture/CaptureCounters.h"
#include "velta/source/base/ErrorCode.h"

namespace {

// Datagrams fed between two steps of the loop at full speed.
constexpr uint64_t FEEDS_PER_POLL = 64;

double monotonic_seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The number of the topic's first packet in the file (for a heartbeat, the
// number it announces), or 1 when the file holds none.
uint32_t first_packet_no(const std::string& path, int topic_id)
{
    PcapDatagramReader reader;
    CaptureCounters counters;
    CapturedDatagram datagram;
    if (reader.open(path) != 0)
        return 1;
    while (reader.next(datagram) == 1) {
        counters.count(datagram.payload, datagram.length);
        auto topic = counters.get_topics().find(uint16_t(topic_id));
        if (topic != counters.get_topics().end())
            return topic->second.first_no;
    }
    return 1;
}

}  // namespace

ReplaySession::ReplaySession(const KORV::SIM::SimOptions& market,
                             BRAX::KORV_USER_API::KorvMarketDataHandler* handler, double speed)
    : m_market(market), m_handler(handler), m_speed(speed)
{
}

ReplaySession::~ReplaySession() = default;

int ReplaySession::open(const std::string& path)
{
    if (m_market.m_topics.size() != 1) {
        m_error = "give one topic to replay";
        return EC_PARAM;
    }
    if (m_reader.open(path) != 0) {
        m_error = m_reader.get_error();
        return EC_READ;
    }
    int result = m_reader.next(m_datagram);
    if (result < 0) {
        m_error = m_reader.get_error();
        return result;
    }
    if (result == 0) {
        m_error = path + " holds no UDP datagram";
        return EC_NOENT;
    }
    int topic_id = m_market.m_topics[0];
    m_replay.reset(new OfflineReplay(topic_id, m_market, m_handler));
    // The market's clock starts at the capture's first datagram, so that
    // every replay of the file agrees.
    if (m_replay->start(unsigned(m_datagram.time_us / 1000000),
                        unsigned(m_datagram.time_us / 1000 % 1000), first_packet_no(path, topic_id),
                        m_error) != 0)
        return EC_ERROR;
    m_pending = true;
    m_first_us = m_datagram.time_us;
    m_started = monotonic_seconds();
    return EC_NONE;
}

int ReplaySession::step()
{
    if (!m_replay) {
        m_error = "no capture file open";
        return EC_READ;
    }
    if (!m_pending) {
        int result = m_reader.next(m_datagram);
        if (result <= 0) {
            if (result < 0)
                m_error = m_reader.get_error();
            return result;
        }
    }
    m_pending = false;
    if (m_speed > 0) {
        // At the recorded pace the loop keeps turning while it waits, so
        // timers and the query side behave as they did live.
        double due = double(m_datagram.time_us - m_first_us) / 1e6 / m_speed;
        for (double wait; (wait = due - (monotonic_seconds() - m_started)) > 0;) {
            m_replay->poll();
            usleep(useconds_t(wait > 0.001 ? 1000 : wait * 1e6));
        }
    }
    m_replay->feed(m_datagram.payload, m_datagram.length);
    ++m_datagrams;
    m_bytes += m_datagram.length;
    if (m_speed > 0 || m_datagrams % FEEDS_PER_POLL == 0)
        m_replay->poll();
    return 1;
}

bool ReplaySession::finish(unsigned timeout_ms)
{
    return m_replay && m_replay->settle(timeout_ms);
}
