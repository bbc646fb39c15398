#include "source/mdqp_protocol/MdqpPacket.h"

#include "velta/source/base/ErrorCode.h"

int MdqpPacket::valid_packet()
{
    if (m_length < static_cast<unsigned long>(MDQP_HLEN))
        return EC_WOULDBLOCK;
    MdqpHeader header;
    header.from_stream(m_data);
    unsigned long total = MDQP_HLEN + static_cast<unsigned long>(header.content_length);
    if (m_length < total)
        return EC_WOULDBLOCK;
    m_header = header;
    pop(MDQP_HLEN);
    set_length(header.content_length);
    return static_cast<int>(total);
}
