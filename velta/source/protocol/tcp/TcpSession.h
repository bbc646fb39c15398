// Internal: the upper layer's handle on a TCP channel.
//
// A session outlives its channel as an unlinked handle whose writes fail with
// -ENODEV (EC_CLOSED); its owner deletes it. Deleting the last session of a
// channel that has no upper demuxer either closes the channel. Reactor
// thread only.
#pragma once

#include "velta/source/protocol/Session.h"
#include "velta/source/protocol/tcp/TcpProtocolKey.h"
#include "velta/source/task/ListNode.h"
#include "velta/source/task/TaskQueue.h"

class TcpChannel;
class TcpProtocol;

class TcpSession : public Session {
public:
    TcpSession(TcpChannel* channel, TcpProtocol* protocol, const TcpProtocolKey& key);
    TcpSession(const TcpSession&) = delete;
    TcpSession& operator=(const TcpSession&) = delete;
    ~TcpSession() override;

    // 0 when the channel can be written now; -1 when the task waits until
    // the channel's backlog has drained or the channel goes away.
    int schedule(Task* task) override;
    // 0 when sent or kept in the backlog, -1 while a backlog waits (keep the
    // data and schedule), another negative code on failure.
    int write(const PacketBuffer& buffer) override;
    ProtocolKey* get_protocol_key() override { return &m_key; }
    Protocol* get_protocol() override;
    int find_protocol_key(ProtocolKeyBuffer& buffer) override;

    // Channel side: the tasks waiting to write run on the next reactor pass.
    void notify();
    // Channel side: the channel goes away.
    void detach_channel();

    // The link in the channel's session list.
    struct Link : ListNode {
        explicit Link(TcpSession* session) : m_session(session) {}
        TcpSession* m_session;
    };
    Link m_link;

private:
    TcpChannel* m_channel;
    TcpProtocol* m_protocol;
    TcpProtocolKey m_key;
    TaskQueue m_wait_queue;
};
