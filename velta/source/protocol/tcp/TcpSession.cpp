#include "velta/source/protocol/tcp/TcpSession.h"

#include <cstdio>

#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Trace.h"
#include "velta/source/protocol/tcp/TcpChannel.h"
#include "velta/source/protocol/tcp/TcpProtocol.h"
#include "velta/source/task/Reactor.h"

TcpSession::TcpSession(TcpChannel* channel, TcpProtocol* protocol, const TcpProtocolKey& key)
    : m_link(this), m_channel(channel), m_protocol(protocol), m_key(key)
{
    trace_printf("TcpSession::TcpSession %p\n", static_cast<void*>(this));
}

TcpSession::~TcpSession()
{
    trace_printf("TcpSession::~TcpSession %p\n", static_cast<void*>(this));
    if (m_channel != nullptr) {
        TcpChannel* channel = m_channel;
        m_link.detach();
        m_channel = nullptr;
        channel->verify_reference();
    }
}

int TcpSession::schedule(Task* task)
{
    if (m_channel == nullptr)
        return EC_CLOSED;
    if (m_channel->writable())
        return 0;
    m_wait_queue.push_back(task);
    return EC_WOULDBLOCK;
}

int TcpSession::write(const PacketBuffer& buffer)
{
    if (m_channel == nullptr)
        return EC_CLOSED;
    return m_channel->write_down(buffer);
}

Protocol* TcpSession::get_protocol()
{
    return m_protocol;
}

int TcpSession::find_protocol_key(ProtocolKeyBuffer& buffer)
{
    if (buffer.protocol_id() != PROTOCOL_ID_TCP)
        return EC_MISMATCH;
    buffer.assign(m_key);
    return 0;
}

void TcpSession::notify()
{
    // Woken through the ready queue rather than called here: a woken writer
    // may write, or drop this session and with it the channel, which must
    // not happen while the channel is still walking its sessions.
    if (!m_wait_queue.empty())
        m_protocol->reactor()->schedule_batch(&m_wait_queue.list());
}

void TcpSession::detach_channel()
{
    m_link.detach();
    m_channel = nullptr;
    notify();
}
