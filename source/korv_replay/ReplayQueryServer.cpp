#include "source/korv_replay/ReplayQueryServer.h"

#include <algorithm>
#include <cstring>

#include "source/korv_replay/ReplayCapture.h"
#include "source/korv_replay/ReplayQueryConnection.h"
#include "source/mdqp_protocol/FieldIterator.h"
#include "source/mdqp_protocol/MdqpChannel.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mdqp_protocol/MdqpSender.h"
#include "source/mirp_protocol/MirpHeader.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/protocol/ProtocolStackKey.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/Reactor.h"

using namespace BRAX::KORV;

namespace {

// What a snapshot query for a topic the file never recorded a snapshot of
// is answered with.
const char* const NO_SNAPSHOT_TEXT = "the capture holds no snapshot of this topic";

// The fields of recorded reply bodies, appended as they were.
void append_bodies(MdqpSender& sender, const std::vector<std::string>& bodies)
{
    for (const std::string& body : bodies)
        for (FieldIterator it(body.data(), int(body.size()), 0); !it.is_end(); it.next())
            sender.append_field(it.id(), it.size(), it.data());
}

}  // namespace

ReplayQueryServer::ReplayQueryServer(Reactor* reactor, const ReplayCapture& capture,
                                     const std::vector<std::string>& locations)
    : m_reactor(reactor), m_capture(capture), m_tcp(new TcpProtocol(reactor)), m_cleanup_task(this)
{
    for (const std::string& location : locations) {
        ProtocolStackKey stack_key;
        stack_key.push_server(location.c_str());
        const TcpProtocolKey* key = static_cast<const TcpProtocolKey*>(stack_key.get_key(0));
        m_points.push_back(new ListenPoint(this, location, *key));
    }
}

ReplayQueryServer::~ReplayQueryServer()
{
    m_cleanup_task.cancel();
    while (!m_connections.empty())
        destroy(m_connections.front());
    for (ListenPoint* point : m_points)
        if (point->m_listening)
            m_tcp->unbind_upper_demuxer(&point->m_key);
    delete m_tcp;
    for (ListenPoint* point : m_points)
        delete point;
}

int ReplayQueryServer::start(std::string& error_location)
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

int ReplayQueryServer::ListenPoint::handle_packet(Protocol* from, const ProtocolKey* key,
                                                  Packet* stream)
{
    return m_server->accept(from, key, stream);
}

int ReplayQueryServer::accept(Protocol* from, const ProtocolKey* key, Packet* stream)
{
    // The connection's first bytes: a session and a channel of its own take
    // over its reading, and read them.
    Session* session = m_tcp->open_session(key, nullptr, nullptr);
    if (session == nullptr)
        return EC_ERROR;
    ReplayQueryConnection* connection = new ReplayQueryConnection(this, m_reactor, session);
    m_connections.push_back(connection);
    ++m_counters.connections;
    return connection->get_channel()->handle_packet(from, key, stream);
}

void ReplayQueryServer::release(ReplayQueryConnection* connection)
{
    m_released.push_back(connection);
    if (!m_cleanup_task.in_queue())
        m_reactor->schedule(&m_cleanup_task);
}

void ReplayQueryServer::on_cleanup()
{
    std::vector<ReplayQueryConnection*> released;
    released.swap(m_released);
    for (ReplayQueryConnection* connection : released)
        if (std::find(m_connections.begin(), m_connections.end(), connection) !=
            m_connections.end())
            destroy(connection);
}

void ReplayQueryServer::destroy(ReplayQueryConnection* connection)
{
    m_connections.remove(connection);
    m_released.erase(std::remove(m_released.begin(), m_released.end(), connection),
                     m_released.end());
    m_held.erase(std::remove_if(m_held.begin(), m_held.end(),
                                [connection](const HeldQuery& held) {
                                    return held.connection == connection;
                                }),
                 m_held.end());
    delete connection;
}

void ReplayQueryServer::answer_login(MdqpSender& sender, uint32_t request_id)
{
    // Whoever logs in gets the recorded answer: the credentials were the
    // recording session's business.
    ++m_counters.logins;
    sender.prepare(MDQP_TID_RspUserLogin, request_id, MDQP_FLAG_CONTINUE);
    append_bodies(sender, m_capture.get_login_answer());
    sender.flush();
}

int ReplayQueryServer::find_snapshot(int topic_id, bool& later) const
{
    const std::vector<ReplaySnapshot>& snapshots = m_capture.get_snapshots();
    int found = -1;
    later = false;
    for (size_t i = 0; i < snapshots.size(); ++i) {
        if (snapshots[i].topic_id != topic_id)
            continue;
        if (snapshots[i].position <= m_point)
            found = int(i);
        else
            later = true;
    }
    return found;
}

void ReplayQueryServer::send_snapshot(MdqpSender& sender, uint32_t request_id, size_t index)
{
    ++m_counters.snapshots;
    sender.prepare(MDQP_TID_RspQryTopicSnap, request_id, MDQP_FLAG_CONTINUE);
    append_bodies(sender, m_capture.get_snapshots()[index].bodies);
    sender.flush();
}

void ReplayQueryServer::answer_snapshot(ReplayQueryConnection* connection, uint32_t request_id,
                                        int topic_id)
{
    bool later = false;
    int index = find_snapshot(topic_id, later);
    if (index >= 0)
        return send_snapshot(connection->get_sender(), request_id, size_t(index));
    if (later) {
        ++m_counters.held_snapshots;
        m_held.push_back(HeldQuery{connection, request_id, topic_id});
        return;
    }
    MDQP_RspInfo info = MDQP_RspInfo();
    info.ErrorID = EC_DATA_ACCESS;
    strncpy(info.ErrorMsg, NO_SNAPSHOT_TEXT, sizeof info.ErrorMsg - 1);
    MdqpSender& sender = connection->get_sender();
    sender.prepare(MDQP_TID_RspQryTopicSnap, request_id, MDQP_FLAG_CONTINUE);
    sender.append_field(info);
    sender.flush();
}

void ReplayQueryServer::set_point(size_t datagrams)
{
    m_point = datagrams;
    if (m_held.empty())
        return;
    std::vector<HeldQuery> waiting;
    waiting.swap(m_held);
    for (const HeldQuery& held : waiting) {
        bool later = false;
        int index = find_snapshot(held.topic_id, later);
        if (index >= 0)
            send_snapshot(held.connection->get_sender(), held.request_id, size_t(index));
        else
            m_held.push_back(held);
    }
}

void ReplayQueryServer::answer_gap(MdqpSender& sender, uint32_t request_id, int topic_id,
                                   uint32_t begin, uint32_t end)
{
    ++m_counters.gap_queries;
    auto limit = m_limits.find(topic_id);
    if (limit != m_limits.end() && int32_t(end - limit->second) > 0)
        end = limit->second;
    sender.prepare(MDQP_TID_RspQryTopicGap, request_id, MDQP_FLAG_CONTINUE);
    int sent = 0;
    for (const auto& packet : m_capture.find_packets(topic_id, begin, end, MAX_GAP_REPLY)) {
        sender.append_field(0, int(packet.second), packet.first);
        ++sent;
    }
    m_counters.gap_packets += uint64_t(sent);
    sender.flush();
}
