// Internal: the MDQP layer over one transport session.
//
// The channel cuts the received byte stream into MDQP packets and hands
// every packet but heartbeats to its one attached MdqpPacketHandler. It
// sends a heartbeat every 3 ticks of MDQP_TIMER_INTERVAL and gives up on the
// peer 10 ticks after the last packet received. Outgoing packets that the
// session cannot take at once wait, in write_down order, in a chunked byte
// FIFO of bounded size: a peer that stops reading fills it, and the channel
// then closes rather than grow without end. Every failure is reported to the
// handler once and asynchronously, on the reactor's next turn; the handler
// then deletes the channel.
//
// Works the same on both ends of a connection: a client wraps the session it
// opened, a server the session of an accepted connection.
//
// Reactor thread only. The channel owns its session; the handler is not
// owned. An MdqpSender on the channel must be deleted before it.
#pragma once

#include <deque>

#include "velta/source/base/CacheList.h"
#include "velta/source/base/Packet.h"
#include "velta/source/protocol/Demuxer.h"
#include "velta/source/protocol/tcp/TcpChannel.h"
#include "velta/source/task/Task.h"

class MdqpPacketHandler;
class PacketBuffer;
class Reactor;
class Session;
class TaskScheduler;

constexpr unsigned MDQP_TIMER_INTERVAL = 1000;
constexpr int MDQP_KEEP_ALIVE_TICKS = 10;
constexpr int MDQP_HEARTBEAT_TICKS = 3;
// The most packets one wake-up of the write task hands to the session.
constexpr int MDQP_WRITE_BURST = 64;
// A queued packet is staged in a 1792-byte buffer with 256 bytes of headroom
// before it goes to the session, so no packet may be longer than this.
constexpr unsigned long MDQP_MAX_WRITE_LENGTH = 1792 - 256;
// A received packet longer than this is refused: it could never be taken
// whole by the transport's receive buffer, the connection would stall.
constexpr unsigned long MDQP_MAX_READ_LENGTH = TCP_CHANNEL_BUFFER_SIZE;
// Default bound of the bytes waiting in the write queue: room for the
// largest whole reply a client accepts, which a server queues at once.
constexpr unsigned long MDQP_WRITE_QUEUE_LIMIT = 256UL * 1024 * 1024;

class MdqpChannel : public Demuxer {
public:
    // write_queue_limit bounds the bytes waiting for the session.
    MdqpChannel(Reactor* reactor, Session* session,
                unsigned long write_queue_limit = MDQP_WRITE_QUEUE_LIMIT);
    ~MdqpChannel() override;
    MdqpChannel(const MdqpChannel&) = delete;
    MdqpChannel& operator=(const MdqpChannel&) = delete;

    // Consumes one packet from the front of stream: the handler's result,
    // 0 for a heartbeat, -1 while the packet is incomplete, EC_FORMAT for a
    // packet longer than MDQP_MAX_READ_LENGTH.
    int handle_packet(Protocol* from, const ProtocolKey* key, Packet* stream) override;
    // The transport went away: close(error).
    int handle_error(Protocol* from, const ProtocolKey* key, int error) override;

    int attach_packet_handler(MdqpPacketHandler* handler);
    int detach_packet_handler();
    // A channel nobody listens to any more is finished: with no handler
    // attached, close(EC_UNREACHABLE).
    void verify_reference();

    // Sends one complete MDQP packet: 0 when the session took it, -1 when it
    // was queued behind earlier packets, EC_INSUF_BUFFER (nothing sent) for
    // a packet longer than MDQP_MAX_WRITE_LENGTH, EC_OUT_OF_BOUNDS when the
    // queue would grow past its limit, otherwise the session's failure. The
    // last two also close the channel.
    int write_down(const PacketBuffer& packet);
    // True while no queued packets wait for the session.
    bool writable() const;
    // Stores error and queues its report; several closes before the report
    // runs give one report with the last error.
    void close(int error);
    // -1 when not writable (the heartbeat is skipped), else 0.
    int write_heartbeat();

private:
    void post_write();
    void on_write();
    void on_timer();
    void on_notify_error();

    struct m_write_task_type : Task {
        explicit m_write_task_type(MdqpChannel* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_write(); }
        MdqpChannel* m_owner;
    };
    struct m_timer_type : Task {
        explicit m_timer_type(MdqpChannel* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_timer(); }
        MdqpChannel* m_owner;
    };
    struct m_notify_error_task_type : Task {
        explicit m_notify_error_task_type(MdqpChannel* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_notify_error(); }
        MdqpChannel* m_owner;
    };

    Reactor* m_reactor;
    Session* m_session;
    MdqpPacketHandler* m_handler;
    int m_error;
    std::deque<Packet> m_write_queue;
    CacheList m_write_cache;
    unsigned long m_write_queue_limit;
    m_write_task_type m_write_task;
    int m_keep_alive_limit;
    int m_keep_alive_countdown;
    int m_heartbeat_period;
    int m_heartbeat_countdown;
    TaskScheduler* m_timer_scheduler;
    m_timer_type m_timer;
    m_notify_error_task_type m_notify_error_task;
};
