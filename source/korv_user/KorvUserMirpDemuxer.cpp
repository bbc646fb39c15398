#include "source/korv_user/KorvUserMirpDemuxer.h"

#include <cstdio>

#include "source/korv_user/KorvUserSubscriber.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Fatal.h"
#include "velta/source/base/Log.h"
#include "velta/source/protocol/udpg/UdpgProtocol.h"
#include "velta/source/task/Reactor.h"

namespace KORV {
namespace USER {

KorvUserMirpDemuxer::KorvUserMirpDemuxer(Reactor* reactor, const char* location)
    : m_reactor(reactor), m_subscribe_task(this), m_closing(false)
{
    m_stack.reg_protocol(PROTOCOL_ID_UDPG, new UdpgProtocol(m_reactor));
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
    if (m_key.key_count() == 0 || m_stack.bind_upper_demuxer(&m_key, this) != 0)
        VELTA_RUNTIME_ERROR("can't subscribe mirp topic");
}

int KorvUserMirpDemuxer::handle_packet(Protocol*, const ProtocolKey*, Packet* packet)
{
    while (packet->length() > 0) {
        MirpPacket mirp(*packet);
        int length = mirp.valid_packet();
        if (length <= 0) {
            report_event(3, "MirpError",
                         "datagram refused: %lu bytes left that are no whole packet, %d",
                         packet->length(), length);
            return length;
        }
        packet->pop(static_cast<unsigned long>(length));
        KorvUserSubscriber* subscriber = find_subscriber(mirp.topic_id());
        if (subscriber != nullptr)
            subscriber->handle_mirp_packet(mirp);
    }
    return EC_NONE;
}

int KorvUserMirpDemuxer::handle_error(Protocol*, const ProtocolKey*, int error)
{
    if (m_closing)
        return EC_NONE;
    // The channel is going away inside this call; binding again from here
    // would open the new one while the transport still tears down the old.
    printf("KorvUserMirpDemuxer::handle_error error = %d, subscribe again\n", error);
    report_event(3, "MirpError", "multicast channel closed, error = %d, subscribe again", error);
    if (!m_subscribe_task.in_queue())
        m_reactor->schedule(&m_subscribe_task);
    return EC_NONE;
}

}  // namespace USER
}  // namespace KORV
