#include "source/korv_replay/ReplayQueryConnection.h"

#include "source/korv_replay/ReplayQueryServer.h"
#include "source/mdqp_protocol/MdqpChannel.h"
#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpPacket.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mdqp_protocol/MdqpSender.h"
#include "velta/source/base/ErrorCode.h"

using namespace BRAX::KORV;

ReplayQueryConnection::ReplayQueryConnection(ReplayQueryServer* server, Reactor* reactor,
                                             Session* session)
    : m_server(server), m_channel(new MdqpChannel(reactor, session)), m_sender(nullptr),
      m_closed(false)
{
    m_channel->attach_packet_handler(this);
    m_sender = new MdqpSender(m_channel);
}

ReplayQueryConnection::~ReplayQueryConnection()
{
    // The channel reports its end once more while it is deleted.
    m_closed = true;
    delete m_sender;
    delete m_channel;
}

int ReplayQueryConnection::handle_packet(MdqpChannel*, const MdqpPacket* packet)
{
    if (m_closed)
        return 0;
    switch (packet->trans_id()) {
        case MDQP_TID_ReqUserLogin:
            m_server->answer_login(*m_sender, packet->request_id());
            break;
        case MDQP_TID_ReqQryTopicSnap: {
            MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
            if (get_first_field(packet, tag) == EC_NONE)
                m_server->answer_snapshot(this, packet->request_id(), uint16_t(tag.TopicID));
            break;
        }
        case MDQP_TID_ReqQryTopicGap: {
            MDQP_TopicGap gap = MDQP_TopicGap();
            if (get_first_field(packet, gap) == EC_NONE)
                m_server->answer_gap(*m_sender, packet->request_id(), uint16_t(gap.TopicID),
                                     gap.BeginPacketNo, gap.EndPacketNo);
            break;
        }
        default:
            break;  // nothing else is asked of a query server
    }
    return 0;
}

int ReplayQueryConnection::handle_error(MdqpChannel*, int)
{
    if (!m_closed) {
        m_closed = true;
        m_server->release(this);
    }
    return 0;
}
