#include "source/korv_user/KorvUserMirpDemuxer.h"

#include <arpa/inet.h>

#include <cstdio>

#include "source/korv_user/KorvUserSubscriber.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Fatal.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/Trace.h"
#include "velta/source/protocol/udpg/UdpgProtocol.h"
#include "velta/source/task/Reactor.h"

namespace KORV {
namespace USER {

KorvUserMirpDemuxer::KorvUserMirpDemuxer(Reactor* reactor, const char* location)
    : m_reactor(reactor),
      m_udpg(new UdpgProtocol(reactor)),
      m_subscribe_task(this),
      m_delay_scheduler(reactor->open_delay_scheduler(KorvUserSubscriber::ACTION_DELAY)),
      m_joined(false),
      m_closing(false),
      m_reports("MirpError", 3)
{
    m_stack.reg_protocol(PROTOCOL_ID_UDPG, m_udpg);
    m_key.push_client(location);
    m_reactor->schedule(&m_subscribe_task);
}

KorvUserMirpDemuxer::~KorvUserMirpDemuxer()
{
    for (auto& entry : m_subscribers)
        if (entry.second.owned)
            delete entry.second.subscriber;
    m_subscribers.clear();
    m_closing = true;
    m_stack.clear();
    m_subscribe_task.cancel();
    delete m_delay_scheduler;
}

int KorvUserMirpDemuxer::subscribe(short topic_id, KorvUserTopic* topic, KorvUserMdqpStub* stub)
{
    int key = uint16_t(topic_id);
    if (m_subscribers.count(key) != 0)
        return EC_EXIST;
    m_subscribers[key] = Entry{new KorvUserSubscriber(m_reactor, topic_id, topic, stub), true};
    return EC_NONE;
}

int KorvUserMirpDemuxer::attach(short topic_id, KorvUserSubscriber* subscriber)
{
    int key = uint16_t(topic_id);
    if (m_subscribers.count(key) != 0)
        return EC_EXIST;
    m_subscribers[key] = Entry{subscriber, false};
    subscriber->add_line();
    return EC_NONE;
}

KorvUserSubscriber* KorvUserMirpDemuxer::find_subscriber(uint16_t topic_id) const
{
    auto found = m_subscribers.find(topic_id);
    return found == m_subscribers.end() ? nullptr : found->second.subscriber;
}

void KorvUserMirpDemuxer::on_subscribe()
{
    // A location of the right scheme that could not be read leaves the key
    // empty, which would bind nothing and receive nothing.
    int result = m_key.key_count() == 0 ? EC_PARAM : m_stack.bind_upper_demuxer(&m_key, this);
    if (result == 0) {
        m_joined = true;
        return;
    }
    // A group that cannot be joined at start is a mistake in the set-up; one
    // that was joined before has lost its route or interface for a while.
    if (!m_joined)
        VELTA_RUNTIME_ERROR("can't subscribe mirp topic");
    trace_printf("KorvUserMirpDemuxer::on_subscribe error = %d, subscribe again in %u ms\n", result,
                 KorvUserSubscriber::ACTION_DELAY);
    report_event(3, "MirpError", "can't subscribe mirp topic, error = %d, subscribe again in %u ms",
                 result, KorvUserSubscriber::ACTION_DELAY);
    m_delay_scheduler->schedule(&m_subscribe_task);
}

const char* KorvUserMirpDemuxer::describe_sender(char (&out)[ReportLimiter::SENDER_SIZE],
                                                 Protocol* from, const ProtocolKey* key) const
{
    sockaddr_in sender;
    if (from != m_udpg || !m_udpg->get_sender(key, sender))
        return nullptr;
    char host[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &sender.sin_addr, host, sizeof(host)) == nullptr)
        return nullptr;
    snprintf(out, sizeof(out), "%s:%u", host, unsigned(ntohs(sender.sin_port)));
    return out;
}

int KorvUserMirpDemuxer::handle_packet(Protocol* from, const ProtocolKey* key, Packet* packet)
{
    m_counters.datagrams.add();
    m_counters.bytes.add(packet->length());
    while (packet->length() > 0) {
        MirpPacket mirp(*packet);
        int length = mirp.valid_packet();
        if (length <= 0) {
            // Anyone who can reach the port can send these; the report is
            // bounded so that a flood of them cannot fill the log.
            char sender[ReportLimiter::SENDER_SIZE];
            bool no_header = length == EC_WOULDBLOCK;
            (no_header ? m_counters.refused_no_header : m_counters.refused_cut_short).add();
            const char* kind = no_header ? "datagram refused, no whole header"
                                         : "datagram refused, content cut short";
            if (m_reports.admit(kind, describe_sender(sender, from, key)))
                report_event(3, "MirpError",
                             "datagram refused: %lu bytes left that are no whole packet, %d",
                             packet->length(), length);
            return length;
        }
        packet->pop(static_cast<unsigned long>(length));
        m_counters.packets.add();
        KorvUserSubscriber* subscriber = find_subscriber(mirp.topic_id());
        if (subscriber == nullptr) {
            m_counters.other_topic_packets.add();
            continue;
        }
        m_counters.packet_no.set(mirp.packet_no());
        m_counters.packet_no_ms.set(counter_clock_ms());
        subscriber->handle_mirp_packet(mirp);
    }
    return EC_NONE;
}

int KorvUserMirpDemuxer::handle_error(Protocol*, const ProtocolKey*, int error)
{
    if (m_closing)
        return EC_NONE;
    m_counters.channel_errors.add();
    // The channel is going away inside this call; binding again from here
    // would open the new one while the transport still tears down the old.
    if (m_reports.admit("multicast channel closed", nullptr)) {
        trace_printf("KorvUserMirpDemuxer::handle_error error = %d, subscribe again\n", error);
        report_event(3, "MirpError", "multicast channel closed, error = %d, subscribe again",
                     error);
    }
    if (!m_subscribe_task.in_queue())
        m_reactor->schedule(&m_subscribe_task);
    return EC_NONE;
}

}  // namespace USER
}  // namespace KORV
