// Internal: one reactor's share of a listening address.
//
// All listeners of one local address (one per reactor) form a ring that
// shares a single listening descriptor. The descriptor travels round the
// ring: the listener holding it waits for one connection, accepts it on its
// own reactor, then hands the descriptor to the next listener, so accepted
// connections spread round robin over the reactors. A hand-over crosses
// threads through the receiver's single-producer ring queue and a notify
// request to its reactor; since there is only one descriptor per ring, only
// one thread ever hands over at a time.
#pragma once

#include <cstdint>

#include "velta/source/stream/RingQueue.h"
#include "velta/source/task/Mutex.h"
#include "velta/source/task/Task.h"

class Demuxer;
class Reactor;
class TaskScheduler;
class TcpProtocol;

class TcpListener {
public:
    TcpListener(Reactor* reactor, TcpProtocol* protocol, uint64_t local_addr, Demuxer* upper);
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    // Unregister first: the manager takes back the descriptor.
    ~TcpListener();

    // Any thread: this listener holds the listening descriptor from now on.
    void catch_fd(int fd);

    uint64_t local_addr() const { return m_local_addr; }

    // The ring's links; changed only under the mutex of the listener whose
    // link changes, and with the manager's mutex held.
    TcpListener* m_next;
    Mutex m_mutex;

private:
    friend class TcpListenManager;

    class m_accept_task_type : public Task {
    public:
        explicit m_accept_task_type(TcpListener* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_accept(); }

    private:
        TcpListener* m_owner;
    };
    class m_notify_task_type : public Task {
    public:
        explicit m_notify_task_type(TcpListener* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_notify(); }

    private:
        TcpListener* m_owner;
    };

    void on_notify();
    void post_accept();
    void on_accept();
    // Gives the descriptor to the next listener of the ring.
    void pass_fd();
    // Manager side, once this listener has left its ring: the descriptors it
    // still holds go to next, or are closed when next is null.
    void release_fds(TcpListener* next);

    Reactor* m_reactor;
    TcpProtocol* m_protocol;
    uint64_t m_local_addr;
    Demuxer* m_upper_demuxer;
    TaskScheduler* m_input_scheduler;
    m_accept_task_type m_accept_task;
    int m_notify_id;
    m_notify_task_type m_notify_task;
    RingQueue<int> m_fds;
};
