// Internal: a PacketBuffer whose N bytes of storage live inside the object,
// so that a channel or codec owns its buffer without a heap allocation.
// It starts with all N bytes as headroom; reset(k) makes tailroom for a body.
#pragma once

#include "velta/source/base/PacketBuffer.h"

template <unsigned long N>
class PacketBufferExt : public PacketBuffer {
public:
    PacketBufferExt() : PacketBuffer(m_storage, N) {}
    // A copy would point into the other object's storage.
    PacketBufferExt(const PacketBufferExt&) = delete;
    PacketBufferExt& operator=(const PacketBufferExt&) = delete;

private:
    char m_storage[N];
};
