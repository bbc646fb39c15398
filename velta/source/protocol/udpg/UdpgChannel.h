// Internal: the receiving side of one joined multicast group.
//
// A channel exists from the first bind of an upper demuxer for its group
// until it closes: on unbinding or on a receive error. Closing deletes it
// through its protocol, and a still-bound demuxer learns the reason by
// handle_error. A datagram stands alone: an empty one, or one the demuxer
// refuses, is dropped by itself and the datagrams queued behind it are read
// on, since closing would make the kernel discard everything still queued.
// Reactor thread only.
#pragma once

#include <netinet/in.h>

#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/protocol/udpg/UdpgProtocolKey.h"
#include "velta/source/task/Task.h"

class Demuxer;
class Reactor;
class TaskScheduler;
class UdpgProtocol;

constexpr unsigned long UDPG_CHANNEL_BUFFER_SIZE = 18432;
// Datagrams read per wake-up before other ready tasks get their turn.
constexpr int UDPG_READ_BURST = 40;
// The socket receive buffer asked for, so that bursts wait in the kernel
// while the reactor is busy; the system may grant less (reported).
constexpr int UDPG_RECEIVE_BUFFER = 10 * 1024 * 1024;

class UdpgChannel {
public:
    // Makes no system call; open() does.
    UdpgChannel(Reactor* reactor, UdpgProtocol* protocol, const UdpgProtocolKey& protocol_key);
    UdpgChannel(const UdpgChannel&) = delete;
    UdpgChannel& operator=(const UdpgChannel&) = delete;
    virtual ~UdpgChannel();

    // Opens the socket and joins the group: 0, or the negative code of the
    // first failing step after a "RuntimeError:" line naming it. A route or
    // interface that is gone fails the join; the caller deletes the channel
    // and decides whether to try again.
    int open();

    // Reading starts once a demuxer is bound; a second one replaces the first.
    void bind_upper_demuxer(Demuxer* upper);
    void unbind_upper_demuxer();
    void verify_reference();
    // Deletes the channel, through its protocol.
    void close(int reason);

    int fd() const { return m_group_fd; }
    // The sender of the datagram being handed to the demuxer.
    const sockaddr_in& sender() const { return m_sender; }

private:
    class m_read_task_type : public Task {
    public:
        explicit m_read_task_type(UdpgChannel* owner) : m_owner(owner) {}
        void wake_up() override { m_owner->on_read(); }

    private:
        UdpgChannel* m_owner;
    };

    void post_read();
    void on_read();
    int receive();

    Reactor* m_reactor;
    UdpgProtocol* m_protocol;
    UdpgProtocolKey m_key;
    int m_group_fd;
    int m_close_reason;
    Demuxer* m_upper_demuxer;
    m_read_task_type m_read_task;
    PacketBufferExt<UDPG_CHANNEL_BUFFER_SIZE> m_recv_buffer;
    sockaddr_in m_sender;
    TaskScheduler* m_input_scheduler;
    // Points at a flag on the stack of a running read, cleared by the
    // destructor: a demuxer may close the channel from inside handle_packet.
    bool* m_alive;
};
