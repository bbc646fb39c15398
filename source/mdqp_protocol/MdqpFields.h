// Internal: finding and appending fields of an MDQP body.
#pragma once

#include <cstdint>

#include "source/mdqp_protocol/FieldIterator.h"
#include "velta/source/base/ErrorCode.h"
#include "velta/source/base/PacketBuffer.h"

// Decodes the first field of T's id into record: 0, or EC_ACCESS when the
// list holds no such field.
template <class T>
int get_first_field(const char* data, int length, T& record)
{
    FieldIterator it(data, length, T::field_id());
    if (it.is_end())
        return EC_ACCESS;
    it.fetch_field(record);
    return EC_NONE;
}

template <class T>
int get_first_field(const Packet* packet, T& record)
{
    return get_first_field(packet->data(), static_cast<int>(packet->length()), record);
}

// Writes a field header at the buffer's tail and takes in the header and
// size body bytes; returns the body for the caller to fill, or null when the
// tailroom is short or size cannot be carried in the 16-bit size field.
char* alloc_field_le(PacketBuffer* buffer, uint16_t id, int size);

// The field with a copy of size bytes of data: 0, or EC_INSUF_BUFFER
// without room.
int append_field_le(PacketBuffer* buffer, uint16_t id, const void* data, int size);

// The field of record: 0, or -1 without room (the sender then flushes the
// packet so far and retries in an empty one).
template <class T>
int append_field_le(PacketBuffer* buffer, const T& record)
{
    char* body = alloc_field_le(buffer, T::field_id(), T::stream_size());
    if (body == nullptr)
        return EC_WOULDBLOCK;
    record.to_stream(body);
    return EC_NONE;
}
