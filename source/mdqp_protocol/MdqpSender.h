// Internal: builds outgoing MDQP messages on a channel.
//
// prepare() starts a message, append_field() adds its fields one by one and
// flush() sends the last packet. A message longer than one packet is split
// between fields: every packet carries the prepared trans_id and request_id,
// all but the last with MDQP_FLAG_CONTINUE set. A packet body holds at most
// MDQP_SENDER_MAX_BODY bytes (a 1280-byte packet).
//
// Reactor thread only. The channel is not owned and must outlive the sender.
#pragma once

#include <cstdint>

#include "source/mdqp_protocol/MdqpFields.h"
#include "source/mdqp_protocol/MdqpHeader.h"
#include "velta/source/base/PacketBufferExt.h"

class MdqpChannel;

constexpr unsigned long MDQP_SENDER_BUFFER = 1528;
constexpr unsigned long MDQP_SENDER_HEADROOM = 256;
constexpr int MDQP_SENDER_MAX_BODY = static_cast<int>(MDQP_SENDER_BUFFER - MDQP_SENDER_HEADROOM);

class MdqpSender {
public:
    explicit MdqpSender(MdqpChannel* channel);
    virtual ~MdqpSender() = default;
    MdqpSender(const MdqpSender&) = delete;
    MdqpSender& operator=(const MdqpSender&) = delete;

    // Starts a message; flag is the header's flag nibble (low 4 bits).
    // Fields appended since the last flush() are dropped unsent: a message
    // given up half-built never reaches the wire.
    void prepare(int trans_id, uint32_t request_id, int flag);

    // 0; EC_INSUF_BUFFER (nothing sent, nothing added) for a field that
    // would not fit even an empty packet; or, when the field had to wait for
    // the packet so far to be sent and that send failed, the channel's
    // failure (the field is not added, the channel is closing).
    int append_field(uint16_t id, int size, const void* data);
    template <class T>
    int append_field(const T& record);

    // Sends the last packet of the message; the channel's write_down result.
    int flush() { return write_down(true); }

private:
    static bool fits_empty_packet(int size);
    // Room for one field at the end of the packet being built, sending the
    // packet so far first when the field does not fit: the field body to
    // fill, or null with the reason in error.
    char* alloc_field(uint16_t id, int size, int& error);
    int write_down(bool last);

    MdqpHeader m_header;
    MdqpChannel* m_channel;
    PacketBufferExt<MDQP_SENDER_BUFFER> m_buffer;
};

template <class T>
int MdqpSender::append_field(const T& record)
{
    int error = EC_NONE;
    char* body = alloc_field(T::field_id(), T::stream_size(), error);
    if (body == nullptr)
        return error;
    record.to_stream(body);
    return EC_NONE;
}
