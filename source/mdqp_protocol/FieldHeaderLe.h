// Internal: the 4-byte little-endian header in front of each field of a
// field list: id (offset 0) and body size (offset 2), both unsigned 16-bit.
#pragma once

#include <cstdint>

#include "velta/source/base/Packet.h"

struct FieldHeaderLe {
    static constexpr int SIZE = 4;

    uint16_t id;
    uint16_t size;

    // Reads the header at the front of the range: -1 when fewer than 4 bytes
    // remain, EC_FORMAT when the size overruns the bytes after the header;
    // otherwise narrows the range to the field body and returns 0.
    int from_stream(Packet* packet);
    void to_stream(char* out) const;
};
