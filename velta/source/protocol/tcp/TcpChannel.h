// Internal: one TCP connection, owned by its TcpProtocol.
//
// Reading fills an 18432-byte receive buffer and lets the upper demuxer take
// whole packets off its front; what is left of an incomplete packet moves to
// the front before the next read. Writing goes straight to the socket, and
// only the part the socket did not take is kept in an equally large backlog;
// while a backlog waits, further writes are refused with -1 and the sessions'
// writers wait until it has drained.
//
// A channel closes (and is deleted by its protocol within close()) when a
// socket operation fails, the peer closes, or its last session and its upper
// demuxer are both gone; a bound upper demuxer learns the reason through
// handle_error. Reactor thread only.
#pragma once

#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"
#include "velta/source/task/ListHead.h"
#include "velta/source/task/Task.h"

class Demuxer;
class Reactor;
class TaskScheduler;
class TcpProtocol;
class TcpSession;

constexpr unsigned long TCP_CHANNEL_BUFFER_SIZE = 18432;
// Passes over the socket per wake-up before other ready tasks get their turn.
constexpr int TCP_READ_BURST = 40;
// Retry interval while the upper layer cannot take anything from a full buffer.
constexpr unsigned TCP_READ_PAUSE_MS = 1000;

class TcpChannel {
public:
    // Takes over the connected (or connecting) descriptor.
    TcpChannel(Reactor* reactor, int fd, TcpProtocol* protocol, const TcpProtocolKey& key);
    TcpChannel(const TcpChannel&) = delete;
    TcpChannel& operator=(const TcpChannel&) = delete;
    virtual ~TcpChannel();

    TcpSession* open_session();
    // Reading starts once an upper demuxer is bound.
    void bind_upper_demuxer(Demuxer* upper);
    void unbind_upper_demuxer();
    // Closes the channel when nobody uses it any more.
    void verify_reference();
    // Deletes the channel, through its protocol.
    void close(int reason);

    // 0: sent, or the unsent rest kept in the backlog; -1: a backlog waits,
    // the caller keeps the data; -ENXIO: larger than the backlog could ever
    // hold, nothing sent; another negative code: the socket failed.
    int write_down(const Packet& packet);
    bool writable() const;

    const TcpProtocolKey& key() const { return m_key; }
    int fd() const { return m_fd; }
    unsigned long backlog_length() const { return m_backlog.length(); }

private:
    class m_read_task_type : public Task {
    public:
        explicit m_read_task_type(TcpChannel* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_read(); }

    private:
        TcpChannel* m_owner;
    };
    class m_write_task_type : public Task {
    public:
        explicit m_write_task_type(TcpChannel* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_write(); }

    private:
        TcpChannel* m_owner;
    };

    void post_read();
    void on_read();
    void post_write();
    void on_write();
    // Hands the buffered bytes to the upper demuxer: 0 when all were taken,
    // else the demuxer's non-zero result. alive turns false when the
    // demuxer closed the channel meanwhile.
    int delivery(const bool& alive);
    // Schedules a task on an I/O scheduler, or on the reactor at once when
    // the descriptor is ready already.
    void post(TaskScheduler* scheduler, Task* task);

    Reactor* m_reactor;
    int m_fd;
    int m_close_reason;
    TcpProtocol* m_protocol;
    TcpProtocolKey m_key;
    Demuxer* m_upper_demuxer;
    ListHead m_sessions;
    m_read_task_type m_read_task;
    m_write_task_type m_write_task;
    PacketBufferExt<TCP_CHANNEL_BUFFER_SIZE> m_recv_buffer;
    PacketBufferExt<TCP_CHANNEL_BUFFER_SIZE> m_backlog;
    TaskScheduler* m_input_scheduler;
    TaskScheduler* m_output_scheduler;
    TaskScheduler* m_delay_scheduler;
    // Points at a flag on the stack of a running read, which the destructor
    // clears: an upper layer may close the channel from inside
    // handle_packet, and the read must then stop at once.
    bool* m_alive;
};
