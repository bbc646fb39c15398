#include "fuzz/FuzzClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/FuzzClock.h"
#include "fuzz/FuzzWire.h"
#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpHeader.h"

using namespace fuzz_wire;
using KORV::USER::KorvUserMdqpStub;

namespace {

// More steps than a login, a snapshot and the replay of a full cache take.
constexpr int SETTLE_STEPS = 64;

void die(const char* what)
{
    fprintf(stderr, "fuzz client: %s: %s\n", what, strerror(errno));
    exit(1);
}

}  // namespace

FuzzClient::FuzzClient(bool answer_queries)
    : m_answer_queries(answer_queries), m_listen_fd(-1), m_peer_fd(-1), m_stub(nullptr)
{
    m_listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(m_listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_listen_fd < 0 || bind(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        listen(m_listen_fd, 8) != 0)
        die("listen on 127.0.0.1");
    fcntl(m_listen_fd, F_SETFL, O_NONBLOCK);
    std::string location = "tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    m_stub = new KorvUserMdqpStub(&m_reactor);
    m_stub->reg_server(location.c_str());
    m_stub->set_authentication("fuzz", "fuzz", "fuzz");
}

FuzzClient::~FuzzClient()
{
    delete m_stub;
    if (m_peer_fd >= 0)
        close(m_peer_fd);
    close(m_listen_fd);
}

void FuzzClient::step()
{
    m_reactor.interrupt();  // no wait: the select only polls
    m_reactor.wake_up();
}

void FuzzClient::serve(int iterations)
{
    for (int i = 0; i < iterations; ++i) {
        step();
        accept_client();
        receive_requests();
    }
}

void FuzzClient::advance(uint32_t ms)
{
    fuzz_advance_clock(ms);
    send_raw(mdqp_packet(MDQP_TID_Heartbeat, 0, ""));
    serve(SETTLE_STEPS);
    for (int round = 0; round < 4 && m_stub->state() != KorvUserMdqpStub::SID_LoggedIn; ++round) {
        fuzz_advance_clock(KorvUserMdqpStub::ACTION_DELAY);
        serve(SETTLE_STEPS);
    }
    if (m_stub->state() != KorvUserMdqpStub::SID_LoggedIn) {
        fprintf(stderr, "fuzz client: the stub does not log in again\n");
        abort();
    }
}

void FuzzClient::accept_client()
{
    int fd = accept(m_listen_fd, nullptr, nullptr);
    if (fd < 0)
        return;
    // The stub connects anew only after giving up the old connection.
    if (m_peer_fd >= 0)
        close(m_peer_fd);
    fcntl(fd, F_SETFL, O_NONBLOCK);
    // Without it a second small reply would wait for the first one's ack,
    // longer than the steps of one input take.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_peer_fd = fd;
    m_received.clear();
}

void FuzzClient::receive_requests()
{
    if (m_peer_fd < 0)
        return;
    char buf[8192];
    ssize_t n;
    while ((n = recv(m_peer_fd, buf, sizeof buf, 0)) > 0)
        m_received.append(buf, size_t(n));
    if (n == 0) {  // the stub closed it
        close(m_peer_fd);
        m_peer_fd = -1;
        m_received.clear();
        return;
    }
    while (m_received.size() >= size_t(MDQP_HLEN)) {
        MdqpHeader header;
        header.from_stream(m_received.data());
        size_t length = size_t(MDQP_HLEN) + header.content_length;
        if (m_received.size() < length)
            break;
        answer(header.trans_id, header.request_id, m_received.substr(MDQP_HLEN, length - MDQP_HLEN));
        m_received.erase(0, length);
    }
}

void FuzzClient::answer(uint8_t trans_id, uint32_t request_id, const std::string& body)
{
    switch (trans_id) {
    case MDQP_TID_ReqUserLogin:
        send_raw(login_response(request_id));
        break;
    case MDQP_TID_ReqQryTopicSnap: {
        m_queries.push_back(request_id);
        MDQP_TopicSnapTag tag = MDQP_TopicSnapTag();
        if (m_answer_queries && get_first_field(body.data(), int(body.size()), tag) == 0)
            send_raw(mdqp_packet(MDQP_TID_RspQryTopicSnap, request_id, snapshot_body(tag.TopicID, 0)));
        break;
    }
    case MDQP_TID_ReqQryTopicGap:
        m_queries.push_back(request_id);
        if (m_answer_queries)
            send_raw(mdqp_packet(MDQP_TID_RspQryTopicGap, request_id, ""));
        break;
    default:
        break;
    }
    if (m_queries.size() > 64)
        m_queries.erase(m_queries.begin(), m_queries.end() - 2);
}

void FuzzClient::send_stream(const uint8_t* data, size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    while (at + size_t(MDQP_HLEN) <= bytes.size()) {
        MdqpHeader header;
        header.from_stream(&bytes[at]);
        uint32_t id = header.request_id;
        size_t back = id == LAST_QUERY ? 1 : id == QUERY_BEFORE_LAST ? 2 : 0;
        if (back != 0 && m_queries.size() >= back) {
            header.request_id = m_queries[m_queries.size() - back];
            header.to_stream(&bytes[at]);
        }
        at += size_t(MDQP_HLEN) + header.content_length;
    }
    send_raw(bytes);
}

void FuzzClient::send_raw(const std::string& bytes)
{
    size_t sent = 0;
    // The client reads as the reactor steps; a stream it stops reading (a
    // closed connection) ends the sending.
    for (int tries = 0; sent < bytes.size() && m_peer_fd >= 0 && tries < 1000; ++tries) {
        ssize_t n = send(m_peer_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += size_t(n);
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        else
            step();
    }
}
