#include "velta/source/protocol/tcp/TcpListenManager.h"

#include <sys/select.h>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/SocketFunctions.h"
#include "velta/source/protocol/ProtocolReport.h"
#include "velta/source/protocol/tcp/TcpListener.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"

TcpListenManager TcpListenManager::m_instance;

bool TcpListenManager::is_listening(uint64_t addr)
{
    MutexShield shield(&m_mutex);
    return m_listeners.count(addr) != 0;
}

int TcpListenManager::reg_listener(uint64_t addr, TcpListener* listener)
{
    MutexShield shield(&m_mutex);
    auto found = m_listeners.find(addr);
    if (found != m_listeners.end()) {
        TcpListener* first = found->second;
        MutexShield ring(&first->m_mutex);
        listener->m_next = first->m_next;
        first->m_next = listener;
        return 0;
    }
    int fd = tcp_create();
    // select() cannot wait for a descriptor beyond its set.
    if (fd >= FD_SETSIZE) {
        socket_close(fd);
        fd = EC_ERROR;
    }
    if (fd < 0) {
        VELTA_PRINT_RUNTIME_ERROR("Can not create socket for tcp client");
        return fd;
    }
    sockaddr_in bind_addr;
    TcpProtocolKey::get_addr(addr, bind_addr);
    bind_addr.sin_addr.s_addr = get_subnet_if_addr(bind_addr.sin_addr.s_addr);
    int result = socket_set_reuseaddr(fd);
    if (result != 0) {
        VELTA_PRINT_RUNTIME_ERROR("socket_set_reuseaddr(fd)");
    } else if ((result = socket_bind(fd, bind_addr)) != 0) {
        VELTA_PRINT_RUNTIME_ERROR("socket_bind(fd, bind_addr)");
    } else if ((result = socket_set_nonblocking(fd)) != 0) {
        VELTA_PRINT_RUNTIME_ERROR("socket_set_nonblocking(fd)");
    } else if ((result = tcp_listen(fd)) != 0) {
        VELTA_PRINT_RUNTIME_ERROR("tcp_listen(fd)");
    }
    if (result != 0) {
        socket_close(fd);
        return result;
    }
    m_listeners[addr] = listener;
    listener->m_next = listener;
    listener->catch_fd(fd);
    return 0;
}

void TcpListenManager::unreg_listener(uint64_t addr, TcpListener* listener)
{
    MutexShield shield(&m_mutex);
    auto found = m_listeners.find(addr);
    if (found == m_listeners.end())
        return;
    TcpListener* next = listener->m_next;
    if (next == listener) {
        m_listeners.erase(found);
        listener->release_fds(nullptr);
        return;
    }
    TcpListener* previous = found->second;
    while (previous->m_next != listener) {
        previous = previous->m_next;
        if (previous == found->second)
            return;  // not in this ring
    }
    {
        // Once the predecessor no longer links here, no hand-over can reach
        // this listener: what it holds now is final.
        MutexShield ring(&previous->m_mutex);
        previous->m_next = next;
    }
    if (found->second == listener)
        found->second = next;
    listener->m_next = listener;
    listener->release_fds(next);
}
