#include "source/mdqp_protocol/MdqpFields.h"

#include <cstring>

char* alloc_field_le(PacketBuffer* buffer, uint16_t id, int size)
{
    if (size < 0 || size > UINT16_MAX)
        return nullptr;
    unsigned long total = static_cast<unsigned long>(size) + FieldHeaderLe::SIZE;
    if (buffer->tail_size() < total)
        return nullptr;
    char* at = buffer->tail();
    FieldHeaderLe header{id, static_cast<uint16_t>(size)};
    header.to_stream(at);
    buffer->extend(total);
    return at + FieldHeaderLe::SIZE;
}

int append_field_le(PacketBuffer* buffer, uint16_t id, const void* data, int size)
{
    char* body = alloc_field_le(buffer, id, size);
    if (body == nullptr)
        return EC_INSUF_BUFFER;
    if (size > 0)
        memcpy(body, data, static_cast<size_t>(size));
    return EC_NONE;
}
