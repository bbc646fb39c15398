#include "source/mdqp_protocol/FieldHeaderLe.h"

#include "velta/source/base/ErrorCode.h"

int FieldHeaderLe::from_stream(Packet* packet)
{
    if (packet->length() < static_cast<unsigned long>(SIZE))
        return EC_WOULDBLOCK;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(packet->data());
    uint16_t field_id = static_cast<uint16_t>(p[0] | (p[1] << 8));
    uint16_t field_size = static_cast<uint16_t>(p[2] | (p[3] << 8));
    if (field_size > packet->length() - SIZE)
        return EC_FORMAT;
    id = field_id;
    size = field_size;
    packet->pop(SIZE);
    packet->set_length(field_size);
    return EC_NONE;
}

void FieldHeaderLe::to_stream(char* out) const
{
    out[0] = static_cast<char>(id & 0xff);
    out[1] = static_cast<char>(id >> 8);
    out[2] = static_cast<char>(size & 0xff);
    out[3] = static_cast<char>(size >> 8);
}
