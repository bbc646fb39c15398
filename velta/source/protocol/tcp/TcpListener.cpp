#include "velta/source/protocol/tcp/TcpListener.h"

#include "velta/source/base/SocketFunctions.h"
#include "velta/source/protocol/ProtocolReport.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"
#include "velta/source/task/Reactor.h"
#include "velta/source/task/TaskScheduler.h"

TcpListener::TcpListener(Reactor* reactor, TcpProtocol* protocol, uint64_t local_addr,
                         Demuxer* upper)
    : m_next(this),
      m_reactor(reactor),
      m_protocol(protocol),
      m_local_addr(local_addr),
      m_upper_demuxer(upper),
      m_input_scheduler(nullptr),
      m_accept_task(this),
      m_notify_id(-1),
      m_notify_task(this),
      m_fds(4, 0)
{
    m_notify_id = reactor->alloc_notify(&m_notify_task);
}

TcpListener::~TcpListener()
{
    delete m_input_scheduler;
}

void TcpListener::catch_fd(int fd)
{
    m_fds.push_back(fd);
    m_reactor->request_notify(m_notify_id);
}

void TcpListener::on_notify()
{
    if (m_fds.empty() || m_input_scheduler != nullptr)
        return;
    m_input_scheduler = m_reactor->open_input_scheduler(m_fds.front());
    if (m_input_scheduler != nullptr)
        post_accept();
}

void TcpListener::post_accept()
{
    if (m_accept_task.in_queue())
        return;
    if (m_input_scheduler->schedule(&m_accept_task) == 0)
        m_reactor->schedule(&m_accept_task);
}

void TcpListener::on_accept()
{
    int new_fd = tcp_accept(m_fds.front());
    if (new_fd < 0) {
        post_accept();
        return;
    }
    if (socket_set_nonblocking(new_fd) != 0) {
        VELTA_PRINT_RUNTIME_ERROR("socket_set_nonblocking(new_fd)");
        socket_close(new_fd);
    } else {
        sockaddr_in local;
        sockaddr_in peer;
        tcp_get_local_addr(new_fd, local);
        tcp_get_peer_addr(new_fd, peer);
        TcpProtocolKey key(TcpProtocolKey::make_addr(local), TcpProtocolKey::make_addr(peer));
        m_protocol->passive_open(new_fd, key, m_upper_demuxer);
    }
    pass_fd();
}

void TcpListener::pass_fd()
{
    MutexShield shield(&m_mutex);
    delete m_input_scheduler;
    m_input_scheduler = nullptr;
    m_accept_task.cancel();
    int fd = m_fds.front();
    m_fds.pop_front();
    m_next->catch_fd(fd);
}

void TcpListener::release_fds(TcpListener* next)
{
    delete m_input_scheduler;
    m_input_scheduler = nullptr;
    m_accept_task.cancel();
    while (!m_fds.empty()) {
        int fd = m_fds.front();
        m_fds.pop_front();
        if (next != nullptr)
            next->catch_fd(fd);
        else
            socket_close(fd);
    }
}
