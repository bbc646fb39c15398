// Internal: one received MDQP packet, its header decoded and its range
// narrowed to the body.
#pragma once

#include "source/mdqp_protocol/MdqpHeader.h"
#include "velta/source/base/Packet.h"

class MdqpPacket : public Packet {
public:
    // Over received bytes that start with a packet header.
    explicit MdqpPacket(const Packet& stream) : Packet(stream) { m_header.init(); }

    // -1 while the header or the body is not all there (nothing consumed);
    // otherwise decodes the header, narrows the range to the body and
    // returns the stream bytes the packet occupies, 8 + content_length.
    int valid_packet();

    const MdqpHeader& header() const { return m_header; }
    int trans_id() const { return m_header.trans_id; }
    int flag() const { return m_header.flag; }
    uint32_t request_id() const { return m_header.request_id; }

private:
    MdqpHeader m_header;
};
