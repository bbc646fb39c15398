#include "source/mdqp_protocol/MdqpSender.h"

#include <cstring>

#include "source/mdqp_protocol/FieldHeaderLe.h"
#include "source/mdqp_protocol/MdqpChannel.h"

MdqpSender::MdqpSender(MdqpChannel* channel) : m_channel(channel)
{
    m_header.init();
    m_header.version = MDQP_VERSION;
    m_buffer.reset(MDQP_SENDER_HEADROOM);
}

void MdqpSender::prepare(int trans_id, uint32_t request_id, int flag)
{
    m_header.trans_id = static_cast<uint8_t>(trans_id);
    m_header.request_id = request_id;
    m_header.flag = static_cast<uint8_t>(flag & 0x0f);
    m_buffer.reset(MDQP_SENDER_HEADROOM);
}

int MdqpSender::append_field(uint16_t id, int size, const void* data)
{
    int error = EC_NONE;
    char* body = alloc_field(id, size, error);
    if (body == nullptr)
        return error;
    if (size > 0)
        memcpy(body, data, static_cast<size_t>(size));
    return EC_NONE;
}

char* MdqpSender::alloc_field(uint16_t id, int size, int& error)
{
    if (!fits_empty_packet(size)) {
        error = EC_INSUF_BUFFER;
        return nullptr;
    }
    char* body = alloc_field_le(&m_buffer, id, size);
    if (body != nullptr)
        return body;
    // A queued packet (-1) is on its way; any other failure closed the channel.
    int ret = write_down(false);
    if (ret < 0 && ret != EC_WOULDBLOCK) {
        error = ret;
        return nullptr;
    }
    // An empty packet holds any field that passed fits_empty_packet.
    return alloc_field_le(&m_buffer, id, size);
}

// Without this check a field that no packet can hold would be retried in
// one empty packet after another.
bool MdqpSender::fits_empty_packet(int size)
{
    return size >= 0 && size <= MDQP_SENDER_MAX_BODY - FieldHeaderLe::SIZE;
}

int MdqpSender::write_down(bool last)
{
    m_header.content_length = static_cast<uint16_t>(m_buffer.length());
    if (last)
        m_header.flag = static_cast<uint8_t>(m_header.flag & ~MDQP_FLAG_CONTINUE);
    else
        m_header.flag = static_cast<uint8_t>(m_header.flag | MDQP_FLAG_CONTINUE);
    m_header.to_stream(m_buffer.alloc(MDQP_HLEN));
    int ret = m_channel->write_down(m_buffer);
    m_buffer.reset(MDQP_SENDER_HEADROOM);
    return ret;
}
