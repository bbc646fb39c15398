#include "velta/source/protocol/tcp/TcpChannel.h"

#include <cstdio>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/SocketFunctions.h"
#include "velta/source/base/Trace.h"
#include "velta/source/protocol/Demuxer.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/protocol/tcp/TcpSession.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"

TcpChannel::TcpChannel(Reactor* reactor, int fd, TcpProtocol* protocol, const TcpProtocolKey& key)
    : m_reactor(reactor),
      m_fd(fd),
      m_close_reason(0),
      m_protocol(protocol),
      m_key(key),
      m_upper_demuxer(nullptr),
      m_read_task(this),
      m_write_task(this),
      m_alive(nullptr)
{
    m_recv_buffer.reset(0);
    m_backlog.reset(0);
    m_input_scheduler = reactor->open_input_scheduler(fd);
    m_output_scheduler = reactor->open_output_scheduler(fd);
    m_delay_scheduler = reactor->open_delay_scheduler(TCP_READ_PAUSE_MS);
    trace_printf("TcpChannel::TcpChannel %p\n", static_cast<void*>(this));
}

TcpChannel::~TcpChannel()
{
    trace_printf("TcpChannel::~TcpChannel %p, erroid=%d\n", static_cast<void*>(this),
                 m_close_reason);
    if (m_alive != nullptr)
        *m_alive = false;
    delete m_delay_scheduler;
    delete m_input_scheduler;
    delete m_output_scheduler;
    while (!m_sessions.empty())
        static_cast<TcpSession::Link*>(m_sessions.head())->m_session->detach_channel();
    if (m_upper_demuxer != nullptr)
        m_upper_demuxer->handle_error(m_protocol, &m_key, m_close_reason);
    socket_close(m_fd);
}

TcpSession* TcpChannel::open_session()
{
    TcpSession* session = new TcpSession(this, m_protocol, m_key);
    m_sessions.push_back(&session->m_link);
    return session;
}

void TcpChannel::bind_upper_demuxer(Demuxer* upper)
{
    m_upper_demuxer = upper;
    post_read();
}

void TcpChannel::unbind_upper_demuxer()
{
    trace_printf("TcpChannel::unbind_upper_demuxer %p\n", static_cast<void*>(this));
    m_upper_demuxer = nullptr;
    verify_reference();
}

void TcpChannel::verify_reference()
{
    trace_printf("TcpChannel::verify_reference %p ,session %s ,upper demuxer %p\n",
                 static_cast<void*>(this), m_sessions.empty() ? " empty" : "not empty",
                 static_cast<void*>(m_upper_demuxer));
    if (m_sessions.empty() && m_upper_demuxer == nullptr)
        close(0);
}

void TcpChannel::close(int reason)
{
    m_close_reason = reason;
    m_protocol->close_channel(m_key);
}

void TcpChannel::post(TaskScheduler* scheduler, Task* task)
{
    if (task->in_queue())
        return;
    if (scheduler->schedule(task) == 0)
        m_reactor->schedule(task);
}

void TcpChannel::post_read()
{
    post(m_input_scheduler, &m_read_task);
}

void TcpChannel::on_read()
{
    // Nothing reads for nobody; binding a demuxer starts reading again.
    if (m_upper_demuxer == nullptr)
        return;
    bool alive = true;
    m_alive = &alive;
    for (int pass = 0; pass < TCP_READ_BURST; ++pass) {
        m_recv_buffer.move_data(0);
        if (m_recv_buffer.tail_size() > 0) {
            int received = tcp_recv(m_fd, m_recv_buffer.tail(), m_recv_buffer.tail_size());
            if (received < 1) {
                m_alive = nullptr;
                if (received == EC_WOULDBLOCK)
                    post_read();
                else
                    close(received);
                return;
            }
            m_recv_buffer.extend(static_cast<unsigned long>(received));
        }
        int delivered = delivery(alive);
        if (!alive)
            return;
        if (delivered != 0 && delivered != EC_WOULDBLOCK) {
            m_alive = nullptr;
            close(delivered);
            return;
        }
        if (delivered == EC_WOULDBLOCK && m_recv_buffer.length() == TCP_CHANNEL_BUFFER_SIZE) {
            m_alive = nullptr;
            m_read_task.cancel();
            m_delay_scheduler->schedule(&m_read_task);
            return;
        }
    }
    m_alive = nullptr;
    m_read_task.cancel();
    m_reactor->schedule(&m_read_task);
}

int TcpChannel::delivery(const bool& alive)
{
    while (m_recv_buffer.length() > 0) {
        // The demuxer may unbind itself (and so end delivery) or close the
        // channel from inside handle_packet.
        if (m_upper_demuxer == nullptr)
            return EC_WOULDBLOCK;
        int result = m_upper_demuxer->handle_packet(m_protocol, &m_key, &m_recv_buffer);
        if (!alive)
            return EC_CLOSED;
        if (result != 0)
            return result;
    }
    return 0;
}

bool TcpChannel::writable() const
{
    return m_backlog.length() == 0 && !m_write_task.in_queue();
}

int TcpChannel::write_down(const Packet& packet)
{
    if (!writable())
        return EC_WOULDBLOCK;
    // A remainder the backlog cannot hold would be lost; refuse the write
    // whole instead, before any of it reaches the stream.
    if (packet.length() > TCP_CHANNEL_BUFFER_SIZE)
        return EC_INSUF_BUFFER;
    const char* data = packet.data();
    unsigned long left = packet.length();
    while (left > 0) {
        int sent = tcp_send(m_fd, data, left);
        if (sent == EC_WOULDBLOCK) {
            m_backlog.append(data, left);
            post_write();
            return 0;
        }
        if (sent < 0)
            return sent;
        data += sent;
        left -= static_cast<unsigned long>(sent);
    }
    return 0;
}

void TcpChannel::post_write()
{
    post(m_output_scheduler, &m_write_task);
}

void TcpChannel::on_write()
{
    while (m_backlog.length() > 0) {
        int sent = tcp_send(m_fd, m_backlog.data(), m_backlog.length());
        if (sent == EC_WOULDBLOCK) {
            post_write();
            return;
        }
        if (sent < 0) {
            close(sent);
            return;
        }
        m_backlog.pop(static_cast<unsigned long>(sent));
    }
    m_backlog.reset(0);
    for (ListNode* node = m_sessions.head(); node != &m_sessions; node = node->m_next)
        static_cast<TcpSession::Link*>(node)->m_session->notify();
}
