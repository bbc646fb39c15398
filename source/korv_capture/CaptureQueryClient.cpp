#include "source/korv_capture/CaptureQueryClient.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "source/korv_capture/CaptureClock.h"
#include "source/korv_capture/CaptureText.h"
#include "source/korv_capture/TcpStreamRecorder.h"
#include "source/mdqp_protocol/FieldHeaderLe.h"
#include "source/mdqp_protocol/FieldIterator.h"
#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpPacket.h"
#include "source/mdqp_protocol/MdqpRecords.h"
#include "source/mirp_protocol/MirpPacket.h"
#include "velta/source/base/SocketFunctions.h"

using namespace BRAX::KORV;

CaptureQueryClient::CaptureQueryClient(const std::string& location, const sockaddr_in& server,
                                       const CaptureCredentials& credentials, PcapngWriter& writer,
                                       uint32_t interface_id)
    : m_location(location),
      m_server(server),
      m_credentials(credentials),
      m_writer(writer),
      m_interface_id(interface_id)
{
}

CaptureQueryClient::~CaptureQueryClient()
{
    close();
}

void CaptureQueryClient::start()
{
    m_state = ST_Connecting;
    m_state_since_ms = capture_monotonic_ms();
    m_fd = tcp_create();
    if (m_fd < 0 || socket_set_nonblocking(m_fd) != 0)
        return fail(
            capture_text::format(capture_text::UNREACHABLE, m_location.c_str(), strerror(errno)));
    int result = tcp_connect(m_fd, m_server);
    if (result == 0)
        connected();
    else if (result != -1)
        fail(capture_text::format(capture_text::UNREACHABLE, m_location.c_str(), strerror(errno)));
}

short CaptureQueryClient::get_poll_events() const
{
    if (m_state == ST_Connecting)
        return POLLOUT;
    return short(POLLIN | (m_output.empty() ? 0 : POLLOUT));
}

void CaptureQueryClient::on_ready(short revents)
{
    if (m_fd < 0)
        return;
    if (m_state == ST_Connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0)
            return fail(capture_text::format(capture_text::UNREACHABLE, m_location.c_str(),
                                             strerror(error)));
        if ((revents & POLLOUT) != 0)
            connected();
        return;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
        read_input();
    if (m_fd >= 0 && (revents & POLLOUT) != 0)
        flush_output();
}

void CaptureQueryClient::on_tick()
{
    if (m_fd < 0)
        return;
    int64_t now = capture_monotonic_ms();
    if (m_state == ST_Connecting && now - m_state_since_ms >= CONNECT_TIMEOUT_S * 1000)
        return fail(capture_text::format(capture_text::CONNECT_TIMEOUT, m_location.c_str(),
                                         CONNECT_TIMEOUT_S));
    if (m_state == ST_WaitLogin && now - m_state_since_ms >= LOGIN_TIMEOUT_S * 1000)
        return fail(capture_text::format(capture_text::LOGIN_TIMEOUT, LOGIN_TIMEOUT_S));
    if (m_state == ST_Connecting)
        return;
    if (now - m_last_received_ms >= KEEP_ALIVE_S * 1000)
        return fail(capture_text::format(capture_text::SESSION_SILENT, KEEP_ALIVE_S));
    if (now - m_last_heartbeat_ms >= HEARTBEAT_S * 1000) {
        m_last_heartbeat_ms = now;
        send_packet(uint8_t(MDQP_TID_Heartbeat), 0, 0, nullptr, 0);
    }
}

void CaptureQueryClient::query_snapshot(uint16_t topic)
{
    Query query{MDQP_TID_ReqQryTopicSnap, topic, 0, 0, 0, false};
    if (m_state != ST_LoggedIn)
        m_waiting.push_back(query);
    else
        send_query(++m_request_id, query);
}

void CaptureQueryClient::query_gap(uint16_t topic, uint32_t begin, uint32_t end)
{
    Query query{MDQP_TID_ReqQryTopicGap, topic, begin, end, 0, false};
    if (m_state != ST_LoggedIn)
        m_waiting.push_back(query);
    else
        send_query(++m_request_id, query);
}

void CaptureQueryClient::close()
{
    if (m_recorder != nullptr)
        m_recorder->close(capture_realtime_ns());
    m_recorder.reset();
    if (m_fd >= 0)
        socket_close(m_fd);
    m_fd = -1;
}

void CaptureQueryClient::connected()
{
    sockaddr_in local{};
    tcp_get_local_addr(m_fd, local);
    Ipv4Endpoint client{local.sin_addr.s_addr, ntohs(local.sin_port)};
    Ipv4Endpoint server{m_server.sin_addr.s_addr, ntohs(m_server.sin_port)};
    m_recorder.reset(new TcpStreamRecorder(m_writer, m_interface_id, client, server));
    m_recorder->open(capture_realtime_ns());
    m_state = ST_WaitLogin;
    m_state_since_ms = capture_monotonic_ms();
    m_last_received_ms = m_state_since_ms;
    m_last_heartbeat_ms = m_state_since_ms;
    send_login();
}

void CaptureQueryClient::send_login()
{
    MDQP_ReqUserLogin login = MDQP_ReqUserLogin();
    copy_text(login.UserID, m_credentials.user_id.c_str());
    copy_text(login.ParticipantID, m_credentials.participant_id.c_str());
    copy_text(login.Password, m_credentials.password.c_str());
    char field[MDQP_ReqUserLogin::stream_size()];
    login.to_stream(field);
    send_packet(MDQP_TID_ReqUserLogin, ++m_request_id, MDQP_ReqUserLogin::field_id(), field,
                sizeof field);
}

void CaptureQueryClient::send_query(uint32_t request_id, const Query& query)
{
    m_open[request_id] = query;
    if (query.trans_id == MDQP_TID_ReqQryTopicSnap) {
        MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
        tag.TopicID = short(query.topic);
        tag.SnapNo = -1;  // the latest
        char field[MDQP_TopicSnapTag::stream_size()];
        tag.to_stream(field);
        send_packet(query.trans_id, request_id, MDQP_TopicSnapTag::field_id(), field, sizeof field);
    } else {
        ++m_gap_queries;
        MDQP_TopicGap gap = MDQP_TopicGap();
        gap.TopicID = short(query.topic);
        gap.BeginPacketNo = query.begin;
        gap.EndPacketNo = query.end;
        char field[MDQP_TopicGap::stream_size()];
        gap.to_stream(field);
        send_packet(query.trans_id, request_id, MDQP_TopicGap::field_id(), field, sizeof field);
    }
}

// A request is one field, far below the size of one packet body, so it
// never needs continuation packets.
void CaptureQueryClient::send_packet(uint8_t trans_id, uint32_t request_id, uint16_t field_id,
                                     const char* field, int field_size)
{
    MdqpHeader header;
    header.init();
    header.version = MDQP_VERSION;
    header.trans_id = trans_id;
    header.request_id = request_id;
    header.content_length = uint16_t(field == nullptr ? 0 : FieldHeaderLe::SIZE + field_size);
    char packet[MDQP_HLEN + FieldHeaderLe::SIZE + MDQP_ReqUserLogin::stream_size()];
    header.to_stream(packet);
    if (field != nullptr) {
        FieldHeaderLe{field_id, uint16_t(field_size)}.to_stream(packet + MDQP_HLEN);
        memcpy(packet + MDQP_HLEN + FieldHeaderLe::SIZE, field, size_t(field_size));
    }
    m_output.append(packet, size_t(MDQP_HLEN + header.content_length));
    flush_output();
}

void CaptureQueryClient::flush_output()
{
    while (m_fd >= 0 && !m_output.empty()) {
        int sent = tcp_send(m_fd, m_output.data(), m_output.size());
        if (sent == -1 || sent == 0)
            return;  // the socket is full; poll says when it takes more
        if (sent < 0)
            return fail(capture_text::format(capture_text::SESSION_LOST, strerror(errno)));
        m_recorder->client_sent(capture_realtime_ns(),
                                reinterpret_cast<const uint8_t*>(m_output.data()), size_t(sent));
        m_output.erase(0, size_t(sent));
    }
}

void CaptureQueryClient::read_input()
{
    char buffer[65536];
    // What came before the connection ended is handled first: a server may
    // answer (a refused login, say) and close at once.
    std::string lost;
    for (;;) {
        ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        if (got <= 0) {
            lost = capture_text::format(capture_text::SESSION_LOST,
                                        got == 0 ? capture_text::SESSION_CLOSED : strerror(errno));
            break;
        }
        m_recorder->client_received(capture_realtime_ns(), reinterpret_cast<uint8_t*>(buffer),
                                    size_t(got));
        m_input.append(buffer, size_t(got));
        m_last_received_ms = capture_monotonic_ms();
    }
    size_t used = 0;
    while (m_fd >= 0) {
        MdqpPacket packet(Packet(m_input.data() + used, int(m_input.size() - used)));
        int size = packet.valid_packet();
        if (size < 0)
            break;
        used += size_t(size);
        if (packet.trans_id() != MDQP_TID_Heartbeat)
            handle_packet(uint8_t(packet.trans_id()), uint8_t(packet.flag()), packet.request_id(),
                          packet.data(), int(packet.length()));
    }
    m_input.erase(0, used);
    if (!lost.empty() && m_fd >= 0)
        fail(lost);
}

void CaptureQueryClient::handle_packet(uint8_t trans_id, uint8_t flag, uint32_t request_id,
                                       const char* body, int length)
{
    if (trans_id == MDQP_TID_RspUserLogin) {
        MDQP_RspInfo info = MDQP_RspInfo();
        if (m_state != ST_WaitLogin || get_first_field(body, length, info) != EC_NONE)
            return;  // without its answer the login time-out decides
        if (info.ErrorID != 0)
            return fail(
                capture_text::format(capture_text::LOGIN_REFUSED, info.ErrorID, info.ErrorMsg));
        m_state = ST_LoggedIn;
        m_logged_in = true;
        std::vector<Query> waiting;
        waiting.swap(m_waiting);
        for (const Query& query : waiting)
            send_query(++m_request_id, query);
        return;
    }
    auto found = m_open.find(request_id);
    if (found == m_open.end())
        return;
    bool last = (flag & MDQP_FLAG_CONTINUE) == 0;
    handle_reply(found->second, request_id, last, body, length);
    if (last)
        m_open.erase(request_id);
}

void CaptureQueryClient::handle_reply(Query& query, uint32_t request_id, bool last,
                                      const char* body, int length)
{
    for (FieldIterator it(body, length, 0); !it.is_end(); it.next()) {
        if (it.id() == MDQP_RspInfo::field_id()) {
            MDQP_RspInfo info = MDQP_RspInfo();
            it.fetch_field(info);
            if (info.ErrorID != 0) {
                query.refused = true;
                ++m_refused_queries;
                capture_text::say(capture_text::format(capture_text::QUERY_REFUSED,
                                                       m_location.c_str(), request_id, query.topic,
                                                       info.ErrorID, info.ErrorMsg));
            }
        } else if (query.trans_id == MDQP_TID_ReqQryTopicGap) {
            MirpPacket packet(Packet(it.data(), it.size()));
            if (packet.valid_packet() > 0 && packet.topic_id() == query.topic &&
                packet.packet_no() - query.begin < query.end - query.begin)
                ++query.packets;
        }
    }
    if (!last)
        return;
    if (query.trans_id == MDQP_TID_ReqQryTopicSnap) {
        m_snapshots += query.refused ? 0 : 1;
    } else if (query.refused || query.packets < uint64_t(query.end - query.begin)) {
        ++m_unfilled_gaps;
        query_snapshot(query.topic);
    }
}

void CaptureQueryClient::fail(const std::string& reason)
{
    m_state = ST_Failed;
    m_failure = reason;
    m_waiting.clear();
    m_open.clear();
    close();
}
