#include "source/mdqp_protocol/MdqpChannel.h"

#include "source/mdqp_protocol/MdqpHeader.h"
#include "source/mdqp_protocol/MdqpPacket.h"
#include "source/mdqp_protocol/MdqpPacketHandler.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/Log.h"
#include "velta/source/base/PacketBufferExt.h"
#include "velta/source/protocol/Protocol.h"
#include "velta/source/protocol/Session.h"
#include "velta/source/task/Reactor.h"

namespace {

constexpr int WRITE_CACHE_BLOCK = 32768;
constexpr unsigned long BUFFER_HEADROOM = 256;

}  // namespace

MdqpChannel::MdqpChannel(Reactor* reactor, Session* session, unsigned long write_queue_limit)
    : m_reactor(reactor),
      m_session(session),
      m_handler(nullptr),
      m_error(0),
      m_write_cache(WRITE_CACHE_BLOCK),
      m_write_queue_limit(write_queue_limit),
      m_write_task(this),
      m_keep_alive_limit(MDQP_KEEP_ALIVE_TICKS),
      m_keep_alive_countdown(MDQP_KEEP_ALIVE_TICKS),
      m_heartbeat_period(MDQP_HEARTBEAT_TICKS),
      m_heartbeat_countdown(MDQP_HEARTBEAT_TICKS),
      m_timer_scheduler(nullptr),
      m_timer(this),
      m_notify_error_task(this)
{
    // Binding starts the transport reading into handle_packet. A session
    // that cannot be bound would never deliver anything: report it.
    int ret = m_session->get_protocol()->bind_upper_demuxer(m_session->get_protocol_key(), this);
    if (ret != EC_NONE)
        close(ret);
    m_timer_scheduler = m_reactor->open_delay_scheduler(MDQP_TIMER_INTERVAL);
    m_timer_scheduler->schedule(&m_timer);
}

MdqpChannel::~MdqpChannel()
{
    delete m_timer_scheduler;
    m_session->get_protocol()->unbind_upper_demuxer(m_session->get_protocol_key());
    delete m_session;
    if (m_handler != nullptr)
        m_handler->handle_error(this, m_error);
}

int MdqpChannel::handle_packet(Protocol*, const ProtocolKey*, Packet* stream)
{
    if (stream->length() >= static_cast<unsigned long>(MDQP_HLEN)) {
        MdqpHeader header;
        header.from_stream(stream->data());
        unsigned long length = MDQP_HLEN + static_cast<unsigned long>(header.content_length);
        if (length > MDQP_MAX_READ_LENGTH) {
            report_event(3, "MdqpError", "refused packet of %lu bytes, trans_id %d, request_id %u",
                         length, header.trans_id, header.request_id);
            return EC_FORMAT;
        }
    }
    MdqpPacket packet(*stream);
    int length = packet.valid_packet();
    if (length < 0)
        return EC_WOULDBLOCK;
    stream->pop(static_cast<unsigned long>(length));
    // Any packet proves the peer alive, heartbeats included.
    m_keep_alive_countdown = m_keep_alive_limit;
    if (packet.trans_id() == MDQP_TID_Heartbeat || m_handler == nullptr)
        return EC_NONE;
    return m_handler->handle_packet(this, &packet);
}

int MdqpChannel::handle_error(Protocol*, const ProtocolKey*, int error)
{
    close(error);
    return EC_NONE;
}

int MdqpChannel::attach_packet_handler(MdqpPacketHandler* handler)
{
    m_handler = handler;
    return EC_NONE;
}

int MdqpChannel::detach_packet_handler()
{
    m_handler = nullptr;
    verify_reference();
    return EC_NONE;
}

void MdqpChannel::verify_reference()
{
    if (m_handler == nullptr)
        close(EC_UNREACHABLE);
}

int MdqpChannel::write_down(const PacketBuffer& packet)
{
    unsigned long length = packet.length();
    if (length > MDQP_MAX_WRITE_LENGTH)
        return EC_INSUF_BUFFER;
    // Behind queued packets even when the session could take it now, so
    // the wire keeps the order of the calls.
    int ret = m_write_queue.empty() ? m_session->write(packet) : EC_WOULDBLOCK;
    if (ret >= 0)
        return EC_NONE;
    if (ret != EC_WOULDBLOCK) {
        close(ret);
        return ret;
    }
    if (static_cast<unsigned long>(m_write_cache.length()) + length > m_write_queue_limit) {
        // The peer has stopped reading; another connection may serve.
        if (m_error != EC_OUT_OF_BOUNDS)
            report_event(3, "MdqpError", "write queue over %lu bytes, closing the channel",
                         m_write_queue_limit);
        close(EC_OUT_OF_BOUNDS);
        return EC_OUT_OF_BOUNDS;
    }
    post_write();
    char* copy = m_write_cache.push_back(packet.data(), static_cast<int>(length));
    m_write_queue.emplace_back(copy, static_cast<int>(length));
    return EC_WOULDBLOCK;
}

bool MdqpChannel::writable() const
{
    return !m_write_task.in_queue();
}

void MdqpChannel::close(int error)
{
    m_error = error;
    if (!m_notify_error_task.in_queue())
        m_reactor->schedule(&m_notify_error_task);
}

int MdqpChannel::write_heartbeat()
{
    if (!writable())
        return EC_WOULDBLOCK;
    PacketBufferExt<576> buffer;
    buffer.reset(BUFFER_HEADROOM);
    MdqpHeader header;
    header.init();
    header.version = MDQP_VERSION;
    header.to_stream(buffer.alloc(MDQP_HLEN));
    write_down(buffer);
    return EC_NONE;
}

void MdqpChannel::post_write()
{
    if (m_write_task.in_queue())
        return;
    int ret = m_session->schedule(&m_write_task);
    if (ret == EC_NONE)
        m_reactor->schedule(&m_write_task);
    else if (ret != EC_WOULDBLOCK)
        close(ret);
}

void MdqpChannel::on_write()
{
    for (int count = 0; count < MDQP_WRITE_BURST; ++count) {
        if (m_write_queue.empty())
            return;
        const Packet& front = m_write_queue.front();
        int length = static_cast<int>(front.length());
        PacketBufferExt<1792> buffer;
        buffer.reset(BUFFER_HEADROOM);
        buffer.append(front.data(), front.length());
        int ret = m_session->write(buffer);
        if (ret < 0) {
            if (ret == EC_WOULDBLOCK)
                post_write();
            else
                close(ret);
            return;
        }
        m_write_cache.pop_front(length);
        m_write_queue.pop_front();
    }
    // Let the reactor run other tasks between bursts of a long queue.
    if (!m_write_queue.empty())
        m_reactor->schedule(&m_write_task);
}

void MdqpChannel::on_timer()
{
    if (--m_keep_alive_countdown <= 0) {
        close(EC_TIMEOUT);
        return;
    }
    if (--m_heartbeat_countdown <= 0) {
        m_heartbeat_countdown = m_heartbeat_period;
        write_heartbeat();
    }
    m_timer_scheduler->schedule(&m_timer);
}

void MdqpChannel::on_notify_error()
{
    if (m_handler != nullptr)
        m_handler->handle_error(this, m_error);
}
