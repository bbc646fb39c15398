#include "apps/korv_md_simulator/SimServer.h"

#include <algorithm>
#include <cstring>

#include "apps/korv_md_simulator/SimConnection.h"
#include "apps/korv_md_simulator/SimOptions.h"
#include "apps/korv_md_simulator/SimPacedSession.h"
#include "apps/korv_md_simulator/SimTopic.h"
#include "source/mdqp_protocol/MdqpChannel.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/Reactor.h"

namespace KORV {
namespace SIM {

SimServer::SimServer(Reactor* reactor, const SimOptions& options,
                     const std::vector<SimTopic*>& topics)
    : m_reactor(reactor),
      m_options(options),
      m_topics(topics),
      m_tcp(new TcpProtocol(reactor)),
      m_cleanup_task(this)
{
    for (size_t i = 0; i < options.m_listen_locations.size(); ++i) {
        const std::string& location = options.m_listen_locations[i];
        ProtocolStackKey stack_key;
        stack_key.push_server(location.c_str());
        const TcpProtocolKey* key = static_cast<const TcpProtocolKey*>(stack_key.get_key(0));
        m_points.push_back(new ListenPoint(this, int(i), location, *key));
    }
}

SimServer::~SimServer()
{
    while (!m_connections.empty())
        destroy(m_connections.front());
    for (ListenPoint* point : m_points) {
        if (point->m_listening)
            m_tcp->unbind_upper_demuxer(&point->m_key);
    }
    delete m_tcp;
    for (ListenPoint* point : m_points)
        delete point;
}

int SimServer::start(std::string& error_location)
{
    for (ListenPoint* point : m_points) {
        int result = m_tcp->bind_upper_demuxer(&point->m_key, point);
        if (result != EC_NONE) {
            error_location = point->m_location;
            return result;
        }
        point->m_listening = true;
    }
    return EC_NONE;
}

void SimServer::stop_serving(const std::string& location)
{
    for (ListenPoint* point : m_points) {
        if (point->m_location != location)
            continue;
        if (point->m_listening) {
            m_tcp->unbind_upper_demuxer(&point->m_key);
            point->m_listening = false;
        }
        std::vector<SimConnection*> victims;
        for (SimConnection* connection : m_connections) {
            if (connection->get_listen_index() == point->m_index)
                victims.push_back(connection);
        }
        for (SimConnection* connection : victims)
            destroy(connection);
    }
}

SimTopic* SimServer::find_topic(int topic_id) const
{
    for (SimTopic* topic : m_topics) {
        if (topic->get_topic_id() == topic_id)
            return topic;
    }
    return nullptr;
}

bool SimServer::accepts_login(int, const BRAX::KORV::MDQP_ReqUserLogin& login) const
{
    return m_options.m_participant_id == login.ParticipantID &&
           m_options.m_user_id == login.UserID && m_options.m_password == login.Password;
}

bool SimServer::refuses_logins(int listen_index) const
{
    return !m_options.m_login_error_location.empty() &&
           m_points[size_t(listen_index)]->m_location == m_options.m_login_error_location;
}

void SimServer::release(SimConnection* connection)
{
    m_released.push_back(connection);
    if (!m_cleanup_task.in_queue())
        m_reactor->schedule(&m_cleanup_task);
}

void SimServer::on_cleanup()
{
    std::vector<SimConnection*> released;
    released.swap(m_released);
    for (SimConnection* connection : released) {
        if (std::find(m_connections.begin(), m_connections.end(), connection) !=
            m_connections.end())
            destroy(connection);
    }
}

void SimServer::destroy(SimConnection* connection)
{
    m_connections.remove(connection);
    m_released.erase(std::remove(m_released.begin(), m_released.end(), connection),
                     m_released.end());
    delete connection;
}

int SimServer::ListenPoint::handle_packet(Protocol* from, const ProtocolKey* key, Packet* stream)
{
    return m_server->accept(this, from, key, stream);
}

int SimServer::accept(ListenPoint* point, Protocol* from, const ProtocolKey* key, Packet* stream)
{
    // The connection's first bytes: give it a session and a channel of its
    // own, which takes over its reading, and let the channel read them.
    Session* session = m_tcp->open_session(key, nullptr, nullptr);
    if (session == nullptr)
        return EC_ERROR;
    if (m_options.m_snapshot_mbit > 0)
        session = new SimPacedSession(m_reactor, session, m_options.m_snapshot_mbit);
    SimConnection* connection = new SimConnection(this, point->m_index, m_reactor, session);
    m_connections.push_back(connection);
    ++m_counters.connections;
    return connection->get_channel()->handle_packet(from, key, stream);
}

}  // namespace SIM
}  // namespace KORV
