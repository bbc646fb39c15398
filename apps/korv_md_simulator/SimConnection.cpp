#include "apps/korv_md_simulator/SimConnection.h"

#include <cstdio>
#include <cstring>

#include "apps/korv_md_simulator/SimServer.h"
#include "apps/korv_md_simulator/SimText.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "source/mdqp_protocol/MdqpChannel.h"
#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpPacket.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mdqp_protocol/MdqpSender.h"

namespace KORV {
namespace SIM {

using namespace BRAX::KORV;

SimConnection::SimConnection(SimServer* server, int listen_index, Reactor* reactor,
                             Session* session)
    : m_server(server),
      m_listen_index(listen_index),
      m_channel(new MdqpChannel(reactor, session)),
      m_sender(nullptr),
      m_logged_in(false),
      m_closed(false)
{
    m_channel->attach_packet_handler(this);
    m_sender = new MdqpSender(m_channel);
}

SimConnection::~SimConnection()
{
    // The channel reports its end once more while it is deleted.
    m_closed = true;
    delete m_sender;
    delete m_channel;
}

int SimConnection::handle_packet(MdqpChannel*, const MdqpPacket* packet)
{
    if (m_closed)
        return 0;
    switch (packet->trans_id()) {
        case MDQP_TID_ReqUserLogin:
            on_login(*packet);
            break;
        case MDQP_TID_ReqQryTopicSnap:
            on_snapshot(*packet);
            break;
        case MDQP_TID_ReqQryTopicGap:
            on_gap(*packet);
            break;
        case MDQP_TID_ReqUserLogout:
            m_logged_in = false;
            reply_error(MDQP_TID_RspUserLogout, packet->request_id(), 0, "logged out");
            break;
        default:
            break;  // nothing else is asked of a query server
    }
    return 0;
}

int SimConnection::handle_error(MdqpChannel*, int)
{
    if (!m_closed) {
        m_closed = true;
        m_server->release(this);
    }
    return 0;
}

void SimConnection::reply_error(uint8_t trans_id, uint32_t request_id, int error_id,
                                const char* text)
{
    MDQP_RspInfo info = MDQP_RspInfo();
    info.ErrorID = error_id;
    sim_copy_text(info.ErrorMsg, text);
    m_sender->prepare(trans_id, request_id, MDQP_FLAG_CONTINUE);
    m_sender->append_field(info);
    m_sender->flush();
}

void SimConnection::on_login(const MdqpPacket& packet)
{
    MDQP_ReqUserLogin login = MDQP_ReqUserLogin();
    SimServerCounters& counters = m_server->counters();
    const char* refusal = nullptr;
    int error_id = EC_NONE;
    if (get_first_field(&packet, login) != EC_NONE) {
        refusal = "login request without login field";
        error_id = EC_DATA_ACCESS;
    } else if (m_server->refuses_logins(m_listen_index)) {
        refusal = "logins refused at this location";
        error_id = EC_UNAVAILABLE;
    } else if (!m_server->accepts_login(m_listen_index, login)) {
        refusal = "wrong participant id, user id or password";
        error_id = EC_USER_PASSWORD;
    }
    if (refusal != nullptr) {
        ++counters.refused_logins;
        m_logged_in = false;
        return reply_error(MDQP_TID_RspUserLogin, packet.request_id(), error_id, refusal);
    }
    ++counters.logins;
    m_logged_in = true;
    MDQP_RspInfo info = MDQP_RspInfo();
    sim_copy_text(info.ErrorMsg, "login accepted");
    MDQP_RspUserLogin response = MDQP_RspUserLogin();
    memcpy(response.UserID, login.UserID, sizeof response.UserID);
    memcpy(response.ParticipantID, login.ParticipantID, sizeof response.ParticipantID);
    sim_copy_text(response.LoginInfo3, "korv_md_simulator");
    m_sender->prepare(MDQP_TID_RspUserLogin, packet.request_id(), MDQP_FLAG_CONTINUE);
    m_sender->append_field(info);
    m_sender->append_field(response);
    m_sender->flush();
}

void SimConnection::on_snapshot(const MdqpPacket& packet)
{
    if (!m_logged_in)
        return reply_error(MDQP_TID_RspQryTopicSnap, packet.request_id(), EC_DATA_ACCESS,
                           "not logged in");
    MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
    if (get_first_field(&packet, tag) != EC_NONE)
        return reply_error(MDQP_TID_RspQryTopicSnap, packet.request_id(), EC_DATA_ACCESS,
                           "snapshot query without topic");
    SimTopic* topic = m_server->find_topic(uint16_t(tag.TopicID));
    if (topic == nullptr)
        return reply_error(MDQP_TID_RspQryTopicSnap, packet.request_id(), EC_DATA_ACCESS,
                           "unknown topic");
    ++m_server->counters().snapshots;
    m_sender->prepare(MDQP_TID_RspQryTopicSnap, packet.request_id(), MDQP_FLAG_CONTINUE);
    topic->write_snapshot(*m_sender);
    m_sender->flush();
}

void SimConnection::on_gap(const MdqpPacket& packet)
{
    if (!m_logged_in)
        return reply_error(MDQP_TID_RspQryTopicGap, packet.request_id(), EC_DATA_ACCESS,
                           "not logged in");
    MDQP_TopicGap gap = MDQP_TopicGap();
    if (get_first_field(&packet, gap) != EC_NONE)
        return reply_error(MDQP_TID_RspQryTopicGap, packet.request_id(), EC_DATA_ACCESS,
                           "gap query without range");
    SimTopic* topic = m_server->find_topic(uint16_t(gap.TopicID));
    if (topic == nullptr)
        return reply_error(MDQP_TID_RspQryTopicGap, packet.request_id(), EC_DATA_ACCESS,
                           "unknown topic");
    ++m_server->counters().gap_queries;
    m_sender->prepare(MDQP_TID_RspQryTopicGap, packet.request_id(), MDQP_FLAG_CONTINUE);
    m_server->counters().gap_packets += uint64_t(
        topic->write_gap(*m_sender, gap.BeginPacketNo, gap.EndPacketNo, SimServer::MAX_GAP_REPLY));
    m_sender->flush();
}

}  // namespace SIM
}  // namespace KORV
